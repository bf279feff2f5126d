import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The Night Watch home: headline, search in any case, the 50 % chip and four activity entries.
TestCase {
    id: test
    name: "NightWatch"
    width: 700
    height: 600
    visible: true
    when: windowShown

    Component {
        id: homeComponent
        NightWatchHome { anchors.fill: parent }
    }
    function init() { Fixture.reset(); Fixture.refuseAttach(false) }
    function cardNames(home) { return findChildren(home, "watchCard").map(card => card.modelData.name) }
    function findChildren(item, name) {
        let found = item.objectName === name ? [item] : []
        const children = item.children || []
        for (let i = 0; i < children.length; ++i)
            found = found.concat(findChildren(children[i], name))
        return found
    }

    function test_headlineSearchAndActivity() {
        const ids = ["Tax Papers", "Old Taxes", "Photos"].map(name => Fixture.addVault(name, "present", 1024, false, false))
        const home = createTemporaryObject(homeComponent, test)
        compare(findChild(home, "headline").text, "All quiet.")
        compare(findChild(home, "subLine").text.split(" · ")[0], "● 3/3 vaults locked")
        findChild(home, "searchField").text = "TAX"
        tryCompare(home.summary.filteredVaults, "length", 2)
        findChild(home, "searchField").text = ""
        for (const id of ids)
            Fixture.unlock(id)
        Fixture.lockAll()
        Fixture.unlock(ids[0])
        tryCompare(findChild(home, "headline"), "text", "1 open.")
        verify(VaultStore.activity.length > 4)
        tryCompare(findChildren(home, "activityEntry"), "length", 4)
        verify(findChildren(home, "activityEntry")[0].text.endsWith(" · Tax Papers unlocked · password"))
    }

    // 50 % shows the "% FULL" chip; below it, none.
    function test_halfFullChip() {
        Fixture.addVault("Half", "present", 100, false, false)
        Fixture.setLockedSizeKB(51200)
        const home = createTemporaryObject(homeComponent, test)
        tryVerify(() => findChild(home, "monoChip") !== null && findChild(home, "monoChip").text === "50% full")
        Fixture.setLockedSizeKB(40960)
        tryVerify(() => findChild(home, "monoChip") === null)
    }
}

import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The Native Pro home over real store states.
TestCase {
    id: test
    name: "NativePro"
    width: 760
    height: 520
    visible: true
    when: windowShown

    Component {
        id: contentComponent
        ContentView { anchors.fill: parent }
    }
    function init() { Fixture.reset(); Fixture.refuseAttach(false); Preferences.appTheme = "nativePro" }
    function cleanup() { Preferences.appTheme = "classic" }
    function home(content) { return findChild(content, "nativeProHome") }
    function rowNames(content) {
        const list = findChild(content, "vaultList")
        const names = []
        for (let i = 0; i < list.count; ++i)
            names.push(list.model[i].name)
        return names
    }

    // Search ignores case; an empty search shows every vault; a removed selection falls back to
    // the first vault shown; arrows move the selection.
    function test_searchAndSelection() {
        Fixture.addVault("Tax Papers", "present", 1024, false, false)
        const photos = Fixture.addVault("Family Photos", "present", 1024, false, true)
        Fixture.addVault("Old Taxes", "present", 1024, false, false)
        const content = createTemporaryObject(contentComponent, test)
        tryVerify(() => home(content) !== null)
        const view = home(content)
        findChild(content, "searchField").text = "TAX"
        compare(rowNames(content), ["Tax Papers", "Old Taxes"])
        findChild(content, "searchField").text = ""
        compare(rowNames(content).length, 3)

        view.selectedId = photos
        compare(findChild(content, "detailName").text, "Family Photos")
        verify(findChild(content, "chip").text === "Local only")
        Fixture.forget(photos)
        tryCompare(findChild(content, "detailName"), "text", "Tax Papers")

        findChild(content, "vaultList").forceActiveFocus()
        keyClick(Qt.Key_Down)
        compare(findChild(content, "detailName").text, "Old Taxes")
        keyClick(Qt.Key_Up)
        compare(findChild(content, "detailName").text, "Tax Papers")
    }

    function test_statusAndFooter() {
        const id = Fixture.addVault("Box", "present", 1024, false, false)
        Preferences.autoLockMinutes = 30
        const content = createTemporaryObject(contentComponent, test)
        tryCompare(findChild(content, "statusSentence"), "text", "Box is locked.")
        compare(findChild(content, "summaryLine").text, "1 vault · all locked")
        compare(findChild(content, "autoLockLine").text, "Auto-locks 30 min after last use")
        Fixture.unlock(id)
        tryVerify(() => findChild(content, "statusSentence").text.startsWith("Box is open. Last opened "))
        compare(findChild(content, "summaryLine").text, "1 vault · 1 open")
        Preferences.autoLockEnabled = false
        compare(findChild(content, "autoLockLine").text, "Auto-lock is off")
        Preferences.autoLockEnabled = true
        Preferences.autoLockMinutes = 15
    }
}

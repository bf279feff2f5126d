import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The Soft Focus home's sentences and the 50 % threshold, against the classic 90 % badge.
TestCase {
    id: test
    name: "SoftFocus"
    width: 700
    height: 560
    visible: true
    when: windowShown

    Component {
        id: homeComponent
        SoftFocusHome { anchors.fill: parent }
    }
    function init() { Fixture.reset(); Fixture.refuseAttach(false) }

    function test_statusLine_data() {
        return [
            { tag: "none", n: 0, m: 0, line: "Create your first vault." },
            { tag: "one locked", n: 1, m: 0, line: "Your vault is locked and safe." },
            { tag: "two locked", n: 2, m: 0, line: "Both vaults are locked and safe." },
            { tag: "three locked", n: 3, m: 0, line: "All 3 vaults are locked and safe." },
            { tag: "one of one open", n: 1, m: 1, line: "1 of 1 vault open." },
            { tag: "one of three open", n: 3, m: 1, line: "1 of 3 vaults open." }
        ]
    }
    function test_statusLine(data) {
        const ids = []
        for (let i = 0; i < data.n; ++i)
            ids.push(Fixture.addVault("V" + i, "present", 1024, false, false))
        for (let i = 0; i < data.m; ++i)
            Fixture.unlock(ids[i])
        const home = createTemporaryObject(homeComponent, test)
        tryCompare(findChild(home, "statusLine"), "text", data.line)
    }

    function test_greeting_data() {
        return [[4, "Good evening."], [5, "Good morning."], [11, "Good morning."], [12, "Good afternoon."],
                [17, "Good afternoon."], [18, "Good evening."]].map(([hour, text]) => ({ tag: hour + ":00", hour: hour, text: text }))
    }
    function test_greeting(data) {
        const home = createTemporaryObject(homeComponent, test)
        home.now = new Date(2026, 11, 6, data.hour, data.hour === 4 || data.hour === 11 || data.hour === 17 ? 59 : 0)
        compare(findChild(home, "greeting").text, data.text)
    }

    // 55 % of the limit: "getting full" here, and no "NEARLY FULL" on the classic card.
    function test_halfFull() {
        const id = Fixture.addVault("Half", "present", 100, false, false)
        Fixture.setLockedSizeKB(56320)
        const home = createTemporaryObject(homeComponent, test)
        tryVerify(() => findChild(home, "softChip") !== null && findChild(home, "softChip").text === "getting full")
        const content = createTemporaryObject(classicComponent, test)
        const card = findChild(content, "vaultCard")
        tryVerify(() => card.usedFraction > 0.5)
        verify(!card.nearlyFull)
    }
    Component {
        id: classicComponent
        ContentView { anchors.fill: parent }
    }
}

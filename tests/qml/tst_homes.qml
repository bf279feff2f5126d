import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The three designed homes over real store states: Soft Focus's sentences and 50 % threshold against
// the classic 90 % badge, Night Watch's headline, search, chip and activity, Native Pro's search,
// selection, status and footer.
TestCase {
    id: test
    name: "Homes"
    width: 760
    height: 600
    visible: true
    when: windowShown

    Component {
        id: softFocusComponent
        SoftFocusHome { anchors.fill: parent }
    }
    Component {
        id: nightWatchComponent
        NightWatchHome { anchors.fill: parent }
    }
    Component {
        id: panelComponent
        MenuBarPanel { visible: true }
    }
    Component {
        id: contentComponent
        ContentView { anchors.fill: parent }
    }
    function init() { Fixture.reset(); Fixture.refuseAttach(false); Preferences.appTheme = "classic" }
    function cleanup() { Preferences.appTheme = "classic" }

    function test_softFocusStatusLine_data() {
        return [
            { tag: "none", n: 0, m: 0, line: "Create your first vault." },
            { tag: "one locked", n: 1, m: 0, line: "Your vault is locked and safe." },
            { tag: "two locked", n: 2, m: 0, line: "Both vaults are locked and safe." },
            { tag: "three locked", n: 3, m: 0, line: "All 3 vaults are locked and safe." },
            { tag: "one of one open", n: 1, m: 1, line: "1 of 1 vault open." },
            { tag: "one of three open", n: 3, m: 1, line: "1 of 3 vaults open." }
        ]
    }
    function test_softFocusStatusLine(data) {
        const ids = []
        for (let i = 0; i < data.n; ++i)
            ids.push(Fixture.addVault("V" + i, "present", 1024, false, false))
        for (let i = 0; i < data.m; ++i)
            Fixture.unlock(ids[i])
        const home = createTemporaryObject(softFocusComponent, test)
        tryCompare(findChild(home, "statusLine"), "text", data.line)
    }

    function test_softFocusGreeting_data() {
        return [[4, "Good evening."], [5, "Good morning."], [11, "Good morning."], [12, "Good afternoon."],
                [17, "Good afternoon."], [18, "Good evening."]].map(([hour, text]) => ({ tag: hour + ":00", hour: hour, text: text }))
    }
    function test_softFocusGreeting(data) {
        const home = createTemporaryObject(softFocusComponent, test)
        home.now = new Date(2026, 11, 6, data.hour, data.hour === 4 || data.hour === 11 || data.hour === 17 ? 59 : 0)
        compare(findChild(home, "greeting").text, data.text)
    }

    // 55 % of the limit: "getting full" here, and no "NEARLY FULL" on the classic card.
    function test_softFocusHalfFull() {
        const id = Fixture.addVault("Half", "present", 100, false, false)
        Fixture.setLockedSizeKB(56320)
        const home = createTemporaryObject(softFocusComponent, test)
        tryVerify(() => findChild(home, "softChip") !== null && findChild(home, "softChip").text === "getting full")
        const content = createTemporaryObject(contentComponent, test)
        const card = findChild(content, "vaultCard")
        tryVerify(() => card.usedFraction > 0.5)
        verify(!card.nearlyFull)
    }

    function test_headlineSearchAndActivity() {
        const ids = ["Tax Papers", "Old Taxes", "Photos"].map(name => Fixture.addVault(name, "present", 1024, false, false))
        const home = createTemporaryObject(nightWatchComponent, test)
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
        tryCompare(Fixture.itemsNamed(home, "activityEntry"), "length", 4)
        verify(Fixture.itemsNamed(home, "activityEntry")[0].text.endsWith(" · Tax Papers unlocked · password"))
    }

    // 50 % shows the "% FULL" chip; below it, none.
    function test_nightWatchHalfFullChip() {
        Fixture.addVault("Half", "present", 100, false, false)
        Fixture.setLockedSizeKB(51200)
        const home = createTemporaryObject(nightWatchComponent, test)
        tryVerify(() => findChild(home, "monoChip") !== null && findChild(home, "monoChip").text === "50% full")
        Fixture.setLockedSizeKB(40960)
        tryVerify(() => findChild(home, "monoChip") === null)
    }

    function nativeProHome(content) { return findChild(content, "nativeProHome") }
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
        Preferences.appTheme = "nativePro"
        Fixture.addVault("Tax Papers", "present", 1024, false, false)
        const photos = Fixture.addVault("Family Photos", "present", 1024, false, true)
        Fixture.addVault("Old Taxes", "present", 1024, false, false)
        const content = createTemporaryObject(contentComponent, test)
        tryVerify(() => nativeProHome(content) !== null)
        const view = nativeProHome(content)
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
        Preferences.appTheme = "nativePro"
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

    // A name is data: markup in it is shown as typed, and nothing it names is fetched, in every
    // design, the tray panel and the alerts that quote it.
    function test_namesAreNeverMarkup_data() {
        return ["classic", "softFocus", "nightWatch", "nativePro"].map((theme) => ({ tag: theme, theme: theme }))
    }
    function test_namesAreNeverMarkup(data) {
        Preferences.appTheme = data.theme
        const before = Fixture.serverRequests()
        const name = "<img src=\"" + Fixture.serverAddress() + "/" + data.theme + ".png\"><b>Bold</b>"
        const id = Fixture.addVault(name, "waiting", 1024, false, false)
        Fixture.addVault("Plain & Simple", "present", 1024, false, false)
        const content = createTemporaryObject(contentComponent, test)
        const panel = createTemporaryObject(panelComponent, test)
        const failure = "Wrong password for “" + name + "”."
        Fixture.fail(failure)
        const alert = findChild(content, "errorAlert")
        tryVerify(() => alert.opened)
        const shown = Fixture.itemsShowing(content, name).concat(Fixture.itemsShowing(panel.contentItem, name),
                                                                  Fixture.itemsShowing(alert.contentItem, failure))
            .filter((item) => item.textFormat !== undefined)
        verify(shown.length > 2)
        for (const item of shown)
            compare(item.textFormat, Text.PlainText)
        wait(300)
        compare(Fixture.serverRequests(), before)
        alert.close()
    }

    function designs() { return ["classic", "softFocus", "nightWatch", "nativePro"].map((theme) => ({ tag: theme, theme: theme })) }
    // A vault on a disk that is not plugged in says so in every design.
    function test_waitingForDiskShows_data() { return designs() }
    function test_waitingForDiskShows(data) {
        Preferences.appTheme = data.theme
        Fixture.addVault("Travel", "waiting", 1024, false, false)
        const content = createTemporaryObject(contentComponent, test)
        const expected = { classic: ["Waiting for disk"], nativePro: ["Waiting for disk"],
                           nightWatch: ["waiting for disk"], softFocus: ["waiting for disk", "Waiting for the disk that holds this vault."] }
        for (const text of expected[data.theme])
            tryVerify(() => Fixture.visibleTexts(content).indexOf(text) >= 0, 2000, text)
        verify(Fixture.visibleTexts(content).every((text) => !text.includes("on disk · up to")))
    }

    // Every design offers Settings…, About… and What’s New…, in that order.
    function test_everyDesignReachesAboutAndWhatsNew_data() { return designs() }
    function test_everyDesignReachesAboutAndWhatsNew(data) {
        Preferences.appTheme = data.theme
        const content = createTemporaryObject(contentComponent, test)
        let menu = null
        tryVerify(() => (menu = findChild(content, "appMenu")) !== null)
        const texts = []
        for (let i = 0; i < menu.count; ++i)
            texts.push(menu.itemAt(i).text)
        compare(texts, ["Settings…", "About…", "What’s New…"])
    }

    // Return on an unlocked vault opens it, in every design that takes Return: it stays unlocked.
    function test_returnOpensAnUnlockedVault_data() {
        return [{ tag: "classic", theme: "classic", card: "vaultCard" }, { tag: "softFocus", theme: "softFocus", card: "softCard" },
                { tag: "nightWatch", theme: "nightWatch", card: "watchCard" }]
    }
    function test_returnOpensAnUnlockedVault(data) {
        Preferences.appTheme = data.theme
        const id = Fixture.addVault("Open Me", "present", 1024, false, false)
        const content = createTemporaryObject(contentComponent, test)
        tryVerify(() => findChild(content, data.card) !== null)
        wait(100)
        Fixture.unlock(id)
        verify(VaultStore.mountPoints[id] !== undefined)
        let card = null
        tryVerify(() => (card = findChild(content, data.card)) !== null)
        card.forceActiveFocus()
        keyClick(Qt.Key_Return)
        wait(300)
        verify(VaultStore.mountPoints[id] !== undefined)
        compare(VaultStore.busyVaults.length, 0)
    }
}

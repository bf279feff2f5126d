import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

TestCase {
    id: test
    name: "VaultCard"
    width: 520
    height: 120
    visible: true
    when: windowShown

    property var calls: []
    QtObject {
        id: testActions
        function unlock(v) { test.calls.push("unlock:" + v.name) }
        function lock(v) { test.calls.push("lock:" + v.name) }
        function locate(v) { test.calls.push("locate:" + v.name) }
        function openInFinder(v) { test.calls.push("open:" + v.name) }
        function vaultSettings(v) { test.calls.push("settings:" + v.name) }
        function revealFile(v) { test.calls.push("reveal:" + v.name) }
        function forget(v) { test.calls.push("forget:" + v.name) }
        function trash(v) { test.calls.push("trash:" + v.name) }
        function rename(v) { test.calls.push("rename:" + v.name) }
    }
    Component {
        id: cardComponent
        VaultCard { width: 500; actions: testActions }
    }

    function init() { Fixture.reset(); calls = [] }

    function makeCard(id) {
        return createTemporaryObject(cardComponent, test, { vault: VaultActions.vault(id) })
    }
    function shown(card, name) {
        const item = findChild(card, name)
        return item !== null && item.visible
    }

    function test_lockedPresentVault() {
        const id = Fixture.addVault("Taxes", "present", 1024, true, true)
        const card = makeCard(id)
        compare(findChild(card, "name").text, "Taxes")
        verify(shown(card, "unlockButton"))
        verify(!shown(card, "lockButton") && !shown(card, "openButton") && !shown(card, "locateButton"))
        verify(shown(card, "touchBadge") && shown(card, "cloudBadge") && !shown(card, "openBadge"))
        verify(shown(card, "capacityBar") && !shown(card, "fileProblem"))
        compare(findChild(card, "stateTile").symbol, "lock.fill")
        mouseClick(findChild(card, "unlockButton"))
        compare(calls, ["unlock:Taxes"])
    }

    function test_unlockedVault() {
        const id = Fixture.addVault("Open", "present", 2048, false, false)
        Fixture.unlock(id)
        const card = makeCard(id)
        tryVerify(() => shown(card, "lockButton"))
        verify(shown(card, "openButton") && shown(card, "settingsButton") && shown(card, "openBadge"))
        verify(!shown(card, "unlockButton"))
        compare(findChild(card, "stateTile").symbol, "lock.open.fill")
        verify(findChild(card, "usage").text.indexOf(" used of 2 GB") > 0)
        mouseClick(findChild(card, "openButton"))
        mouseClick(findChild(card, "lockButton"))
        compare(calls, ["open:Open", "lock:Open"])
    }

    function test_busyVaultShowsOnlyProgress() {
        const id = Fixture.addVault("Busy", "present", 1024, false, false)
        const card = makeCard(id)
        Fixture.setBusy(id, true)
        tryVerify(() => shown(card, "busyIndicator"))
        verify(!shown(card, "unlockButton") && !shown(card, "lockButton") && !shown(card, "locateButton"))
        Fixture.setBusy(id, false)
        tryVerify(() => shown(card, "unlockButton"))
    }

    function test_missingAndWaitingFiles() {
        const missing = makeCard(Fixture.addVault("Gone", "missing", 1024, false, false))
        compare(findChild(missing, "fileProblemText").text, "Vault file not found")
        verify(shown(missing, "locateButton") && !shown(missing, "unlockButton") && !shown(missing, "capacityBar"))
        const waiting = makeCard(Fixture.addVault("Away", "waiting", 1024, false, false))
        compare(findChild(waiting, "fileProblemText").text, "Waiting for disk")
        verify(shown(waiting, "unlockButton") && !shown(waiting, "locateButton"))
    }

    // From 90 % the badge, red from 95 %; never for a vault whose file is missing.
    function test_nearlyFull_data() {
        return [
            { tag: "0.89", kilobytes: 91136, state: "present", badge: false, critical: false },
            { tag: "exactly 0.9", kilobytes: 92160, state: "present", badge: true, critical: false },
            { tag: "exactly 0.95", kilobytes: 97280, state: "present", badge: true, critical: true },
            { tag: "file missing", kilobytes: 97280, state: "missing", badge: false, critical: true },
        ]
    }
    function test_nearlyFull(data) {
        const id = Fixture.addVault("Full", data.state, 100, false, false)
        Fixture.setLockedSizeKB(data.kilobytes)
        const card = makeCard(id)
        compare(shown(card, "nearlyFullBadge"), data.badge)
        if (data.badge)
            compare(findChild(card, "nearlyFullBadge").stops, data.critical ? Theme.critical : Theme.warning)
        compare(findChild(card, "capacityBar").stops, data.critical ? Theme.critical : Theme.warning)
    }

    function test_contextMenuEntries_data() {
        return [
            { tag: "locked", state: "present", unlock: false,
              entries: ["Reveal Vault File in File Manager", "Rename…", "Change Password…", "Change Size Limit…", "Reclaim Free Space…",
                        "Verify Vault…", "Keep out of cloud sync", "-", "Remove from List (keep file)", "Move Vault to Trash…"] },
            { tag: "unlocked", state: "present", unlock: true,
              entries: ["Reveal Vault File in File Manager", "Vault Settings…", "-", "Remove from List (keep file)", "Move Vault to Trash…"] },
            { tag: "missing", state: "missing", unlock: false,
              entries: ["Locate Vault…", "Reveal Vault File in File Manager", "-", "Remove from List (keep file)", "Move Vault to Trash…"] },
            { tag: "waiting for disk", state: "waiting", unlock: false,
              entries: ["Reveal Vault File in File Manager", "-", "Remove from List (keep file)", "Move Vault to Trash…"] },
        ]
    }
    function test_contextMenuEntries(data) {
        const id = Fixture.addVault("Menu", data.state, 1024, false, false)
        if (data.unlock)
            Fixture.unlock(id)
        const card = makeCard(id)
        const menu = findChild(card, "contextMenu")
        menu.refreshState()
        compare(menu.entryTexts(), data.entries)
        verify(menu.trigger("Move Vault to Trash…"))
        compare(calls, ["trash:Menu"])
    }
}

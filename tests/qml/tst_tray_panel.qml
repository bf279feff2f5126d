import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

// The tray's compact panel over real store states.
TestCase {
    id: test
    name: "TrayPanel"
    width: 500
    height: 460
    visible: true
    when: windowShown

    Component {
        id: panelComponent
        MenuBarPanel { visible: true }
    }
    Component {
        id: spyComponent
        SignalSpy {}
    }
    Component {
        id: contentComponent
        ContentView { anchors.fill: parent }
    }

    function init() { Fixture.reset(); Fixture.refuseAttach(false); Preferences.appTheme = "classic" }

    function rowOf(panel, name) {
        for (const row of Fixture.itemsNamed(panel.contentItem, "panelRow"))
            if (row.vault.name === name)
                return row
        return null
    }

    // An unlocked vault over 95 % shows red, not green; one with room shows green; a locked one the
    // accent of the design.
    function test_ringColours() {
        const full = Fixture.addVault("Full", "present", 16, false, false)
        const roomy = Fixture.addVault("Roomy", "present", 4000000, false, false)
        Fixture.addVault("Closed", "present", 4000000, false, false)
        Fixture.unlock(full)
        Fixture.unlock(roomy)
        // The stand-in volume, shared by both, holds more than the 16 MB limit.
        Fixture.writeFile(VaultStore.mountPoints[full] + "/filler", "x".repeat(17 * 1024 * 1024))
        const panel = createTemporaryObject(panelComponent, test)
        tryVerify(() => rowOf(panel, "Full") && rowOf(panel, "Full").vaultState.usedFraction >= 0.95)
        compare(rowOf(panel, "Full").ringColor, Theme.red)
        compare(rowOf(panel, "Roomy").ringColor, Theme.green)
        compare(rowOf(panel, "Closed").ringColor, Theme.panelAccent)
        Preferences.appTheme = "nightWatch"
        compare(rowOf(panel, "Closed").ringColor, Theme.panelAccents.nightWatch)
    }

    // Lock All shows only while something is unlocked; each row offers what can be done now.
    function test_rowsAndLockAll() {
        const locked = Fixture.addVault("Locked", "present", 1024, false, false)
        Fixture.addVault("Gone", "missing", 1024, false, false)
        Fixture.addVault("Away", "waiting", 1024, false, false)
        const panel = createTemporaryObject(panelComponent, test)
        verify(!findChild(panel.contentItem, "panelLockAll").visible)
        compare(findChild(rowOf(panel, "Gone"), "rowStatus").text, "Vault file not found")
        verify(findChild(rowOf(panel, "Gone"), "rowLocate").visible)
        compare(findChild(rowOf(panel, "Away"), "rowStatus").text, "Waiting for disk")
        verify(findChild(rowOf(panel, "Away"), "rowUnlock").visible)
        Fixture.unlock(locked)
        tryVerify(() => findChild(panel.contentItem, "panelLockAll").visible)
        verify(findChild(rowOf(panel, "Locked"), "rowLock").visible && !findChild(rowOf(panel, "Locked"), "rowUnlock").visible)
        mouseClick(findChild(panel.contentItem, "panelLockAll"))
        tryVerify(() => Object.keys(VaultStore.mountPoints).length === 0)
    }

    // A check started from the main window shows in the vault's row, with how far it is, and the
    // row's Stop ends it.
    function test_rowShowsLongWorkAndStopsIt() {
        const id = Fixture.addVault("Checked", "present", 1024, false, false)
        Fixture.script("diskutil-verifyVolume",
                       "trap 'kill $!; exit 143' TERM; echo 'progress: 55 Checking link counts' >&2; sleep 30 & wait $!\n")
        const panel = createTemporaryObject(panelComponent, test)
        const row = rowOf(panel, "Checked")
        verify(!findChild(row, "rowStop").visible)
        const caption = findChild(row, "rowStatus").text
        const finished = createTemporaryObject(spyComponent, test, { target: VaultActions, signalName: "finished" })
        VaultActions.verify(id, "pw")
        tryCompare(findChild(row, "rowStatus"), "text", "Verifying… 55 %")
        // Busy meanwhile: nothing else is offered.
        verify(findChild(row, "rowBusy").visible)
        verify(!findChild(row, "rowUnlock").visible)
        mouseClick(findChild(row, "rowStop"))
        finished.wait(10000)
        compare(finished.signalArguments[0][0], "verify")
        compare(finished.signalArguments[0][2], false)
        verify(!findChild(row, "rowStop").visible)
        verify(findChild(row, "rowUnlock").visible)
        compare(findChild(row, "rowStatus").text, caption)
    }

    // Unlock from the panel without a saved password asks in the stand-alone window; the main
    // window shows no sheet of its own.
    function test_unlockAsksInItsOwnWindow() {
        Fixture.addVault("Typed", "present", 1024, false, false)
        const view = createTemporaryObject(contentComponent, test)
        const panel = createTemporaryObject(panelComponent, test)
        mouseClick(findChild(rowOf(panel, "Typed"), "rowUnlock"))
        tryVerify(() => Fixture.promptWindowVault() === "Typed")
        wait(100)
        verify(!findChild(view, "unlockView").visible)
        compare(VaultStore.passwordPromptVault, undefined)
    }

    // New Vault… opens the main window's create sheet.
    function test_newVaultOpensTheCreateSheet() {
        const view = createTemporaryObject(contentComponent, test)
        const panel = createTemporaryObject(panelComponent, test)
        mouseClick(findChild(panel.contentItem, "panelAdd"))
        const menu = panel.addMenu
        tryVerify(() => menu.opened)
        compare(menu.itemAt(0).text, "New Vault…")
        mouseClick(menu.itemAt(0))
        tryVerify(() => findChild(view, "createVaultView").opened)
    }
}

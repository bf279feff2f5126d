import QtQuick
import QtTest
import org.hollowkeep
import Hollowkeep.Testing

TestCase {
    id: test
    name: "ContentView"
    width: 520
    height: 500
    visible: true
    when: windowShown

    Component {
        id: contentComponent
        ContentView { width: 520; height: 500 }
    }

    function init() { Fixture.reset(); Preferences.appTheme = "classic" }

    function shown(item, name) {
        const child = findChild(item, name)
        return child !== null && child.visible
    }

    function test_emptyState() {
        const view = createTemporaryObject(contentComponent, test)
        compare(findChild(view, "subtitle").text, "Encrypted folders, your key only")
        verify(shown(view, "emptyState") && !shown(view, "vaultList") && !shown(view, "lockAllButton"))
        // Its one button answers Return.
        keyClick(Qt.Key_Return)
        tryVerify(() => findChild(view, "createVaultView").opened)
    }

    function test_classicSubtitle() {
        Fixture.addVault("One", "present", 1024, false, false)
        Fixture.setLockedSizeKB(2048)
        const view = createTemporaryObject(contentComponent, test)
        const subtitle = findChild(view, "subtitle").text
        verify(subtitle.startsWith("1 vault · all locked · "), subtitle)
        verify(subtitle.endsWith("2.1 MB on disk"), subtitle)
        verify(!shown(view, "lockAllButton") && !shown(view, "emptyState"))
        const two = Fixture.addVault("Two", "present", 1024, false, false)
        Fixture.unlock(two)
        tryVerify(() => findChild(view, "subtitle").text.startsWith("2 vaults · 1 open · "))
        verify(shown(view, "lockAllButton"))
    }

    function test_unknownThemeIsClassic() {
        Preferences.appTheme = "NightWatch"
        const view = createTemporaryObject(contentComponent, test)
        compare(view.design, "classic")
        Preferences.appTheme = "nightWatch"
        compare(view.design, "nightWatch")
    }

    function test_forgetAlertRemovesOnlyTheRecord() {
        const id = Fixture.addVault("Forgettable", "present", 1024, false, false)
        Fixture.unlock(id)
        const view = createTemporaryObject(contentComponent, test)
        VaultActions.forget(id)
        const alert = findChild(view, "forgetAlert")
        tryVerify(() => alert.opened)
        compare(alert.title, "Remove “Forgettable” from the list?")
        verify(alert.message.indexOf("you'll need to type the password") > 0)
        // Cancel keeps everything.
        alert.chosen("Cancel")
        tryVerify(() => !alert.visible)
        compare(VaultStore.vaults.length, 1)
        // Remove drops the record without locking the vault: no lock is recorded.
        const activityBefore = VaultStore.activity.length
        VaultActions.forget(id)
        tryVerify(() => alert.opened)
        mouseClick(findChild(alert.contentItem, "alertButton_Remove"))
        tryCompare(VaultStore.vaults, "length", 0)
        compare(Fixture.listedVaults(), 0)
        compare(VaultStore.activity.length, activityBefore)
    }

    function test_fileDialogs() {
        const id = Fixture.addVault("Moved", "missing", 1024, false, false)
        const view = createTemporaryObject(contentComponent, test)
        const dialog = findChild(view, "movedDialog")
        VaultActions.revealFile(id)
        tryVerify(() => dialog.opened)
        compare(dialog.title, "“Moved” is not in that location")
        verify(dialog.message.startsWith("The vault file isn’t at its last known path:\n\n"))
        compare(dialog.buttons.map(b => b.text), ["Locate…", "Remove from List", "OK"])
        mouseClick(findChild(dialog.contentItem, "alertButton_OK"))
        tryVerify(() => !dialog.visible)
        compare(VaultStore.vaults.length, 1)
        VaultActions.revealFile(id)
        tryVerify(() => dialog.opened)
        mouseClick(findChild(dialog.contentItem, "alertButton_Remove from List"))
        tryCompare(VaultStore.vaults, "length", 0)

        // A vault on a disk that is not connected: unlocking it says so.
        const away = Fixture.addVault("Elsewhere", "waiting", 1024, false, false)
        const waiting = findChild(view, "waitingDialog")
        VaultActions.unlock(away)
        tryVerify(() => waiting.opened)
        compare(waiting.title, "Waiting for disk")
        verify(waiting.message.startsWith("“Elsewhere” is on a disk that isn’t connected right now."))
        mouseClick(findChild(waiting.contentItem, "alertButton_OK"))
        tryVerify(() => !waiting.visible)
    }

    // When nothing could show a folder, the window says where it is and copies the path.
    function test_noFileManagerSaysWhere() {
        const view = createTemporaryObject(contentComponent, test)
        const alert = findChild(view, "noFileManagerAlert")
        VaultStore.fileManagerMissing(Fixture.home() + "/Vaults/Ledger")
        tryVerify(() => alert.opened)
        verify(alert.message.endsWith("\n\n" + Fixture.home() + "/Vaults/Ledger"))
        mouseClick(findChild(alert.contentItem, "alertButton_Copy Path"))
        tryVerify(() => !alert.visible)
        compare(Fixture.clipboardText(), Fixture.home() + "/Vaults/Ledger")
    }

    // Unlocking from the keyboard rebuilds the cards (the list records the time): the focus stays
    // on the card acted on.
    function test_focusStaysOnTheCardActedOn() {
        Fixture.refuseAttach(false)
        Fixture.addVault("First", "present", 1024, false, false)
        const second = Fixture.addVault("Second", "present", 1024, false, false)
        const view = createTemporaryObject(contentComponent, test)
        tryVerify(() => Fixture.itemsNamed(view, "vaultCard").length === 2, 3000, "" + Fixture.itemsNamed(view, "vaultCard").length)
        wait(100)
        Fixture.itemsNamed(view, "vaultCard")[1].forceActiveFocus(Qt.TabFocusReason)
        Fixture.unlock(second)
        tryVerify(() => VaultStore.mountPoints[second] !== undefined)
        tryVerify(() => test.Window.activeFocusItem && test.Window.activeFocusItem.objectName === "vaultCard"
                        && test.Window.activeFocusItem.vault.id === second)
    }

    function test_newVaultRequestOpensCreateOnce() {
        const view = createTemporaryObject(contentComponent, test)
        verify(!view.showingCreate)
        VaultStore.newVaultRequested = true
        verify(view.showingCreate)
        compare(VaultStore.newVaultRequested, false)
    }

    // Without a portal or a dialog to show, the chooser says so instead of doing nothing.
    function test_chooserThatCannotOpenSaysSo() {
        const view = createTemporaryObject(contentComponent, test)
        view.actions.addExisting()
        tryCompare(VaultStore, "errorMessage", "Could not open a file chooser: no dialog can be shown here")
        tryVerify(() => findChild(view, "errorAlert").opened)
    }
}

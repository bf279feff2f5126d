import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The main window's content: the home design for the chosen theme, and every sheet and alert a
// vault operation needs, so that the designs hold no modal state of their own.
Item {
    id: content
    readonly property string themeRaw: Preferences.appTheme
    readonly property string design: Theme.design(themeRaw)
    readonly property var constants: Theme.windowConstants[design]

    property bool showingCreate: false
    property var resizeTarget: null
    property var compactTarget: null
    property var deleteTarget: null
    property var forgetTarget: null
    property var renameTarget: null
    property var settingsTarget: null
    property var changePasswordTarget: null
    property var verifyTarget: null

    // The vault operations every design calls.
    readonly property QtObject actions: QtObject {
        function newVault() { content.showingCreate = true }
        function addExisting() { VaultActions.chooseExisting() }
        function unlock(vault) { VaultActions.unlock(vault.id) }
        function usePassword(vault) { VaultActions.usePassword(vault.id) }
        function lock(vault) { VaultActions.lock(vault.id) }
        function openInFinder(vault) { VaultActions.openInFinder(vault.id) }
        function locate(vault) { VaultActions.chooseLocation(vault.id) }
        function revealFile(vault) { VaultActions.revealFile(vault.id) }
        function resize(vault) { content.resizeTarget = vault }
        function compact(vault) { content.compactTarget = vault }
        function rename(vault) { content.renameTarget = vault }
        function vaultSettings(vault) { content.settingsTarget = vault }
        function changePassword(vault) { content.changePasswordTarget = vault }
        function verify(vault) { content.verifyTarget = vault }
        function forget(vault) { VaultActions.forget(vault.id) }
        function trash(vault) { VaultActions.trash(vault.id) }
        function lockAll() { VaultActions.lockAll() }
    }

    function closeSheets() {
        for (const sheet of [createSheet, unlockSheet, compactSheet, deleteSheet, verifySheet, changePasswordSheet,
                             renameSheet, resizeSheet, settingsSheet])
            sheet.close()
    }

    function closeAll() {
        forgetTarget = null
        forgetAlert.close()
        errorAlert.close()
        movedDialog.close()
        waitingDialog.close()
    }

    Loader {
        id: home
        anchors.fill: parent
        sourceComponent: ({ classic: classic, nativePro: nativePro, nightWatch: nightWatch, softFocus: softFocus })[content.design]
    }
    Component {
        id: classic
        ClassicHome { actions: content.actions }
    }
    Component {
        id: nativePro
        NativeProHome { actions: content.actions }
    }
    Component {
        id: softFocus
        SoftFocusHome { actions: content.actions }
    }
    Component {
        id: nightWatch
        NightWatchHome { actions: content.actions }
    }

    Connections {
        target: VaultActions
        function onForgetConfirmationRequested(vault) { content.forgetTarget = vault }
        function onDeleteRequested(vault) { content.deleteTarget = vault }
        function onRelocatedDialogRequested(vault) { movedDialog.show(vault, false) }
        function onWaitingDialogRequested(vault) { waitingDialog.show(vault, false) }
    }
    Connections {
        target: FileDialogs
        function onRelocatedRequested(vault) { movedDialog.show(vault, true) }
        function onWaitingRequested(vault) { waitingDialog.show(vault, true) }
    }
    onForgetTargetChanged: forgetTarget ? forgetAlert.open() : forgetAlert.close()
    onShowingCreateChanged: showingCreate ? createSheet.open() : createSheet.close()

    CreateVaultView {
        id: createSheet
        onClosed: content.showingCreate = false
    }
    // Each slot opens its sheet; closing the sheet empties the slot.
    PasswordActionView { id: compactSheet; onClosed: content.compactTarget = null }
    DeleteVaultView { id: deleteSheet; onClosed: content.deleteTarget = null }
    VerifyVaultView { id: verifySheet; onClosed: content.verifyTarget = null }
    ChangePasswordView { id: changePasswordSheet; onClosed: content.changePasswordTarget = null }
    RenameView { id: renameSheet; onClosed: content.renameTarget = null }
    ResizeView { id: resizeSheet; onClosed: content.resizeTarget = null }
    VaultSettingsView { id: settingsSheet; onClosed: content.settingsTarget = null }
    function present(sheet, vault) {
        if (vault) {
            sheet.vault = vault
            sheet.open()
        }
    }
    onCompactTargetChanged: present(compactSheet, compactTarget)
    onDeleteTargetChanged: present(deleteSheet, deleteTarget)
    onVerifyTargetChanged: present(verifySheet, verifyTarget)
    onChangePasswordTargetChanged: present(changePasswordSheet, changePasswordTarget)
    onRenameTargetChanged: present(renameSheet, renameTarget)
    onResizeTargetChanged: present(resizeSheet, resizeTarget)
    onSettingsTargetChanged: present(settingsSheet, settingsTarget)

    UnlockView {
        id: unlockSheet
        onClosed: VaultActions.closePasswordPrompt()
    }
    // The store asks for a typed password.
    Connections {
        target: VaultStore
        function onPasswordPromptVaultChanged() {
            if (VaultStore.passwordPromptVault && !VaultActions.promptsInWindow()) {
                unlockSheet.vault = VaultStore.passwordPromptVault
                unlockSheet.open()
            }
        }
    }
    // Every failure of a store operation arrives here, one alert at a time.
    Connections {
        target: VaultStore
        function onErrorMessageChanged() {
            if (VaultStore.errorMessage.length > 0)
                errorAlert.open()
        }
    }
    // A request from outside the window (the tray panel) opens the create sheet once.
    Connections {
        target: VaultStore
        function onNewVaultRequestedChanged() {
            if (VaultStore.newVaultRequested) {
                VaultStore.newVaultRequested = false
                content.showingCreate = true
            }
        }
    }

    AlertDialog {
        id: forgetAlert
        objectName: "forgetAlert"
        title: "Remove “" + (content.forgetTarget ? content.forgetTarget.name : "") + "” from the list?"
        message: "The encrypted vault file stays on disk, but its saved password is removed from your keyring — you'll need to type the password to open it again. Bring it back anytime with “Add Existing Vault…”."
        buttons: [{ text: "Remove", role: "destructive" }, { text: "Cancel", role: "cancel" }]
        onChosen: (text) => {
            const vault = content.forgetTarget
            content.forgetTarget = null
            if (text === "Remove" && vault)
                VaultActions.removeFromList(vault.id)
        }
        onClosed: content.forgetTarget = null
    }

    AlertDialog {
        id: errorAlert
        objectName: "errorAlert"
        title: "Hollowkeep"
        message: VaultStore.errorMessage
        buttons: [{ text: "OK", role: "cancel" }]
        // A failure the command line has already reported is taken back.
        onMessageChanged: if (message.length === 0) close()
        onClosed: VaultStore.errorMessage = ""
    }

    AlertDialog {
        id: movedDialog
        objectName: "movedDialog"
        property var vault: null
        property bool storeWaits: false
        function show(v, waits) { vault = v; storeWaits = waits; open() }
        title: "“" + (vault ? vault.name : "") + "” is not in that location"
        message: "The vault file isn’t at its last known path:\n\n" + (vault ? vault.bundlePath : "")
                 + "\n\nIf you moved or renamed it in the file manager, locate the same file. Its password saved in your keyring and its authentication setting stay with it. Remove from List forgets this row and its saved password; the file stays on disk if you still have it."
        buttons: [{ text: "Locate…", role: "default" }, { text: "Remove from List", role: "destructive" }, { text: "OK", role: "cancel" }]
        onChosen: (text) => {
            if (text === "Locate…")
                VaultActions.chooseLocation(vault.id)
            else if (text === "Remove from List")
                VaultActions.removeFromListAfterAuthentication(vault.id)
        }
        onClosed: if (storeWaits) { storeWaits = false; FileDialogs.answered() }
    }

    // Open, Reveal and open-after-unlock when nothing on this desktop can show a folder.
    AlertDialog {
        id: noFileManagerAlert
        objectName: "noFileManagerAlert"
        property string path
        title: "The folder could not be shown"
        message: "No file manager answered on this desktop. Install one, or go there yourself:\n\n" + path
        buttons: [{ text: "Copy Path", role: "default" }, { text: "OK", role: "cancel" }]
        onChosen: (text) => { if (text === "Copy Path") VaultActions.copyToClipboard(path) }
    }
    Connections {
        target: VaultStore
        function onFileManagerMissing(path) {
            noFileManagerAlert.path = path
            if (Window.window && !Window.window.visible)
                TrayItem.showMainWindow()
            noFileManagerAlert.open()
        }
    }

    AlertDialog {
        id: waitingDialog
        objectName: "waitingDialog"
        property var vault: null
        property bool storeWaits: false
        function show(v, waits) { vault = v; storeWaits = waits; open() }
        title: "Waiting for disk"
        message: "“" + (vault ? vault.name : "") + "” is on a disk that isn’t connected right now.\n\nLast known path:\n"
                 + (vault ? vault.bundlePath : "") + "\n\nPlug in the drive or reconnect the network share, then unlock."
        buttons: [{ text: "OK", role: "cancel" }]
        onClosed: if (storeWaits) { storeWaits = false; FileDialogs.answered() }
    }

    Component.onCompleted: VaultActions.startUp()
}

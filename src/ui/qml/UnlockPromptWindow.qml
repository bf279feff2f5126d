import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The unlock sheet in a window of its own, for unlocking from the tray: title bar and close button
// only, the sheet's size, centred on the screen.
ThemedWindow {
    id: window
    // Only the main window and the tray panel take the design's scheme.
    schemeDark: ColorScheme.prefersDark
    objectName: "unlockPrompt"
    property var vault: null
    title: "Unlock Vault"
    flags: Qt.Dialog | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowCloseButtonHint
    color: Theme.of(Window.window).sheetBackground
    width: view.sheetWidth
    height: Math.ceil(view.naturalHeight)
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    x: Screen.virtualX + (Screen.width - width) / 2
    y: Screen.virtualY + (Screen.height - height) / 2

    // Closing with the title bar's button keeps the window for the next prompt, not the password.
    onClosing: view.forgetPassword()

    UnlockView {
        id: view
        vault: window.vault
        fillsWindow: true
        closeAction: () => VaultActions.closeUnlockPrompt()
        Component.onCompleted: open()
    }

    // With the main window hidden this is the only place a refusal can be read.
    AlertDialog {
        id: errorAlert
        objectName: "errorAlert"
        title: "Hollowkeep"
        buttons: [{ text: "OK", role: "cancel" }]
        // The same text is the store's alert for the hidden main window: it is read here.
        onClosed: if (VaultStore.errorMessage === message) VaultStore.errorMessage = ""
    }
    Connections {
        target: VaultActions
        function onUnlockFinished(id, unlocked, failure) {
            if (!unlocked && window.vault && id === window.vault.id && failure.length > 0) {
                errorAlert.message = failure
                errorAlert.open()
            }
        }
    }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// Asks for a locked vault's password and unlocks it; stays open on a wrong password. A window of
// its own gives a closeAction, which then replaces closing the sheet.
Sheet {
    id: view
    objectName: "unlockView"
    property var vault: null
    property var closeAction: null
    property bool saveToKeychain: false
    property bool working: false
    readonly property bool canUnlock: Rules.canSubmitPassword(passwordField.text, working)
    sheetWidth: 400
    icon: "key.fill"
    heading: "Unlock “" + (vault ? vault.name : "") + "”"
    subtitle: "The vault opens as a normal folder in the file manager"
    initialFocus: passwordField
    defaultAction: unlock

    function unlock() {
        if (!canUnlock)
            return
        working = true
        VaultActions.unlockWithPassword(vault.id, passwordField.text, saveToKeychain)
    }
    function dismiss() {
        if (closeAction)
            closeAction()
        else
            close()
    }
    function forgetPassword() { passwordField.text = "" }
    onOpened: {
        passwordField.text = ""
        saveToKeychain = false
        working = false
    }
    // The password is not kept once the sheet closes; Escape in a window of its own closes that.
    onClosed: {
        forgetPassword()
        if (closeAction)
            closeAction()
    }
    Connections {
        target: VaultActions
        function onUnlockFinished(id, unlocked) {
            if (!view.vault || id !== view.vault.id)
                return
            view.working = false
            if (unlocked)
                view.dismiss()
        }
    }

    FieldGroup {
        TextField {
            id: passwordField
            objectName: "passwordField"
            placeholderText: "Password"
            echoMode: TextInput.Password
            Layout.fillWidth: true
        }
        Text {
            objectName: "hint"
            textFormat: Text.PlainText
            visible: view.vault !== null && view.vault.passwordHint.length > 0
            text: "Hint: " + (view.vault ? view.vault.passwordHint : "")
            font.pixelSize: 11
            color: Theme.of(Window.window).secondary
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        ToggleSwitch {
            objectName: "saveToKeychain"
            text: "Remember password in my keyring"
            checked: view.saveToKeychain
            onToggled: view.saveToKeychain = checked
        }
    }
    footerContent: RowLayout {
        Item { Layout.fillWidth: true }
        QuietButton { objectName: "cancelButton"; text: "Cancel"; onClicked: view.dismiss() }
        ProminentButton {
            objectName: "unlockButton"
            text: view.working ? "Unlocking…" : "Unlock"
            enabled: view.canUnlock
            onClicked: view.unlock()
        }
    }
}

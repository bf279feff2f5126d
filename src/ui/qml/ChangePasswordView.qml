import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// A new password (and hint) for a locked vault; a saved password follows automatically.
VaultSheet {
    id: view
    objectName: "changePasswordView"
    property bool hasSavedPassword: false
    readonly property string hintMessage: Rules.hintMessage(hint.text, newPassword.text)
    icon: "key.horizontal.fill"
    heading: "Change Password"
    subtitle: "New password for “" + vaultName + "”"
    initialFocus: oldPassword
    buttonLabel: "Change Password"
    workingLabel: "Changing…"
    operation: "changePassword"
    prefillReason: "change the password of the vault “" + vaultName + "”"
    prefillTarget: oldPassword
    canRun: Rules.canChange(oldPassword.text, newPassword.text, confirm.text, hint.text, working)
    onOpened: {
        for (const field of [oldPassword, newPassword, confirm])
            field.text = ""
        hint.text = vault && vault.passwordHint ? vault.passwordHint : ""
        hasSavedPassword = false
        VaultActions.checkSavedPassword(vault.id)
    }
    onClosed: { oldPassword.text = ""; newPassword.text = ""; confirm.text = "" }
    onRun: VaultActions.changePassword(vault.id, oldPassword.text, newPassword.text, hint.text)
    onFinishedWith: (succeeded) => { if (succeeded) close() }
    Connections {
        target: VaultActions
        function onSavedPasswordChecked(id, saved) { if (view.vault && id === view.vault.id) view.hasSavedPassword = saved }
    }

    FieldLabel { text: "Current password" }

    TextField { id: oldPassword; objectName: "oldPasswordField"; placeholderText: "Current password"; echoMode: TextInput.Password; Layout.fillWidth: true }
    TextField { id: newPassword; objectName: "newPasswordField"; placeholderText: "New password (min. 6 characters)"; echoMode: TextInput.Password; Layout.fillWidth: true }
    TextField { id: confirm; objectName: "confirmField"; placeholderText: "Confirm new password"; echoMode: TextInput.Password; Layout.fillWidth: true }
    Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.of(Window.window).separator }
    FieldLabel { text: "Password hint (optional)" }
    TextField { id: hint; objectName: "hintField"; placeholderText: "e.g. Month + pet name"; Layout.fillWidth: true }
    Text {
        textFormat: Text.PlainText
        text: "Stored as plaintext with the vault file — anyone with the file can read the hint. Does not unlock, recover, or reset the password."
        font.pixelSize: 11; color: Theme.of(Window.window).secondary; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    Text { textFormat: Text.PlainText; objectName: "hintMessage"; visible: view.hintMessage.length > 0; text: view.hintMessage; color: Theme.of(Window.window).errorText; font.pixelSize: 11 }
    Text {
        textFormat: Text.PlainText
        visible: view.hasSavedPassword
        text: "The saved password in your keyring is updated automatically."
        font.pixelSize: 11; color: Theme.of(Window.window).secondary
    }
}

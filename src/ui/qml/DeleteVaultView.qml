import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// Confirms the password, then moves the vault to the Trash.
VaultSheet {
    id: view
    objectName: "deleteVaultView"
    property string errorText
    icon: "trash.fill"
    heading: "Move “" + vaultName + "” to Trash"
    subtitle: "The vault password is required to delete it"
    initialFocus: password
    buttonLabel: "Move to Trash"
    workingLabel: "Deleting…"
    buttonGradient: Theme.critical
    operation: "trash"
    prefillReason: "delete the vault “" + vaultName + "”"
    prefillTarget: password
    sheetWidth: 440
    canRun: Rules.canSubmitPassword(password.text, working)
    onOpened: { password.text = ""; errorText = "" }
    onClosed: password.text = ""
    onRun: { errorText = ""; VaultActions.moveToTrash(vault.id, password.text) }
    onFinishedWith: (succeeded, text) => { if (succeeded) close(); else errorText = text }

    Text {
        textFormat: Text.PlainText
        text: "The vault and everything inside it will be moved to the Trash — recoverable until the Trash is emptied, and encrypted the whole time. Its saved password is removed from your keyring."
        font.pixelSize: 12; color: Theme.of(Window.window).secondary; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    FieldLabel { text: "Vault password" }
    TextField { id: password; objectName: "passwordField"; placeholderText: "Vault password"; echoMode: TextInput.Password; Layout.fillWidth: true }
    status: SymbolLabel {
        visible: view.errorText.length > 0
        symbol: "xmark.circle.fill"
        text: view.errorText
        textObjectName: "errorText"
        color: Theme.of(Window.window).errorText
    }
}

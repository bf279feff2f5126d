import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// Checks a vault's file system and shows the verdict; stays open until "Done".
VaultSheet {
    id: view
    objectName: "verifyVaultView"
    property string resultText
    property bool resultOK: false
    showsProgress: true
    stoppable: true
    icon: "checkmark.seal.fill"
    heading: "Verify “" + vaultName + "”"
    subtitle: "Checks the vault's filesystem for damage"
    initialFocus: password
    buttonLabel: "Verify"
    workingLabel: "Verifying…"
    cancelLabel: resultText.length > 0 ? "Done" : "Cancel"
    operation: "verify"
    prefillReason: "verify the vault “" + vaultName + "”"
    prefillTarget: password
    sheetWidth: 440
    canRun: Rules.canSubmitPassword(password.text, working)
    onOpened: { password.text = ""; resultText = ""; resultOK = false }
    onClosed: password.text = ""
    onRun: { resultText = ""; VaultActions.verify(vault.id, password.text) }
    onFinishedWith: (succeeded, text) => { resultOK = succeeded; resultText = text }

    Text {
        textFormat: Text.PlainText
        text: "The vault is opened invisibly, its filesystem is checked, and it is locked again. Nothing inside is changed. Useful before making a backup copy."
        font.pixelSize: 12; color: Theme.of(Window.window).secondary; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    FieldLabel { text: "Password" }
    TextField { id: password; objectName: "passwordField"; placeholderText: "Password"; echoMode: TextInput.Password; Layout.fillWidth: true }
    status: SymbolLabel {
        visible: view.resultText.length > 0
        symbol: view.resultOK ? "checkmark.circle.fill" : "exclamationmark.triangle.fill"
        symbolColor: view.resultOK ? Theme.of(Window.window).green : Theme.of(Window.window).orange
        text: view.resultText
        textObjectName: "resultText"
    }
}

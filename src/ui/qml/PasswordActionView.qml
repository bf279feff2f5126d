import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// Asks for the password, then runs an operation with it: used to reclaim free space.
VaultSheet {
    id: view
    objectName: "passwordActionView"
    icon: "arrow.down.right.circle.fill"
    heading: "Reclaim Free Space"
    subtitle: "Shrinks the vault file on disk after files were deleted inside."
    initialFocus: password
    buttonLabel: "Reclaim"
    operation: "compact"
    showsProgress: true
    stoppable: true
    property string stoppedText
    prefillReason: "modify the vault “" + vaultName + "”"
    prefillTarget: password
    canRun: Rules.canSubmitPassword(password.text, working)
    onOpened: { password.text = ""; stoppedText = "" }
    onClosed: password.text = ""
    onRun: { stoppedText = ""; VaultActions.compact(vault.id, password.text) }
    // Stopped on request, it says so and stays; a failure is told by the alert.
    onFinishedWith: (succeeded, text) => {
        if (succeeded)
            close()
        else if (stopping)
            stoppedText = text
    }

    FieldLabel { text: "Password" }

    TextField { id: password; objectName: "passwordField"; placeholderText: "Password"; echoMode: TextInput.Password; Layout.fillWidth: true }
    status: SymbolLabel {
        visible: view.stoppedText.length > 0
        symbol: "info.circle"
        symbolColor: Theme.of(Window.window).secondary
        text: view.stoppedText
        textObjectName: "resultText"
    }
}

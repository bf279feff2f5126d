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
    prefillReason: "modify the vault “" + vaultName + "”"
    prefillTarget: password
    canRun: Rules.canSubmitPassword(password.text, working)
    onOpened: password.text = ""
    onClosed: password.text = ""
    onRun: VaultActions.compact(vault.id, password.text)
    onFinishedWith: (succeeded) => { if (succeeded) close() }

    FieldLabel { text: "Password" }

    TextField { id: password; objectName: "passwordField"; placeholderText: "Password"; echoMode: TextInput.Password; Layout.fillWidth: true }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// A new name for a locked vault: its file and its volume.
VaultSheet {
    id: view
    objectName: "renameView"
    icon: "pencil.circle.fill"
    heading: "Rename “" + vaultName + "”"
    subtitle: "Renames the vault file and the folder shown in the file manager"
    initialFocus: newName
    buttonLabel: "Rename"
    workingLabel: "Renaming…"
    operation: "rename"
    prefillReason: "rename the vault “" + vaultName + "”"
    prefillTarget: password
    canRun: Rules.canRename(newName.text, vaultName, password.text, working)
    onOpened: { newName.text = vaultName; password.text = "" }
    onClosed: password.text = ""
    onRun: VaultActions.rename(vault.id, newName.text, password.text)
    onFinishedWith: (succeeded) => { if (succeeded) close() }

    TextField { id: newName; objectName: "nameField"; placeholderText: "New name"; Layout.fillWidth: true }
    FieldLabel { text: "Password" }
    TextField { id: password; objectName: "passwordField"; placeholderText: "Password"; echoMode: TextInput.Password; Layout.fillWidth: true }
}

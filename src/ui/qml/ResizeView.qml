import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// A new size limit, never below what the files inside take on disk.
VaultSheet {
    id: view
    objectName: "resizeView"
    property int newSizeMB: vault ? vault.maxSizeMB : 1024
    readonly property real recordedBytes: vault ? VaultActions.recordedSize(vault.id) : 0
    icon: "arrow.up.right.circle.fill"
    heading: "Change Size Limit"
    subtitle: "“" + vaultName + "” can currently grow up to " + (vault ? Format.limit(vault.maxSizeMB) : "")
    initialFocus: sizeField.field
    buttonLabel: "Resize"
    workingLabel: "Resizing…"
    operation: "resize"
    showsProgress: true
    prefillReason: "resize the vault “" + vaultName + "”"
    prefillTarget: password
    canRun: vault !== null && Rules.canResize(password.text, newSizeMB, vault.maxSizeMB, working)
    onOpened: {
        password.text = ""
        newSizeMB = vault.maxSizeMB
        sizeField.minimumMB = Rules.resizeMinimumMB(recordedBytes)
        sizeField.load(vault.maxSizeMB)
    }
    onClosed: password.text = ""
    onRun: VaultActions.resize(vault.id, newSizeMB, password.text)
    onFinishedWith: (succeeded) => { if (succeeded) close() }

    VaultSizeField {
        id: sizeField
        objectName: "sizeField"
        Layout.fillWidth: true
        onSizeMBChanged: view.newSizeMB = sizeMB
    }
    Text {
        textFormat: Text.PlainText
        text: "Files inside currently use " + Format.bytes(view.recordedBytes) + " — the limit can be raised anytime, or lowered down to that amount."
        font.pixelSize: 11; color: Theme.of(Window.window).secondary; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    FieldLabel { text: "Password" }
    TextField { id: password; objectName: "passwordField"; placeholderText: "Password"; echoMode: TextInput.Password; Layout.fillWidth: true }
}

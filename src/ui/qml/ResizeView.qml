import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// A new size limit, never below what the files inside take on disk; once the password opens the
// vault, never below the lowest limit it can really be given, which the caption names.
VaultSheet {
    id: view
    objectName: "resizeView"
    property int newSizeMB: vault ? vault.maxSizeMB : 1024
    readonly property real recordedBytes: vault ? VaultActions.recordedSize(vault.id) : 0
    // The lowest limit the tools work out with the password; 0 until they have.
    property real lowestMB: 0
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
        lowestMB = 0
        newSizeMB = vault.maxSizeMB
        sizeField.minimumMB = Rules.resizeMinimumMB(recordedBytes)
        sizeField.load(vault.maxSizeMB)
    }
    onClosed: password.text = ""

    // Asked once the typing pauses, and again for each password: a wrong one answers nothing.
    Timer {
        id: lowestLimitQuery
        interval: 400
        onTriggered: if (view.vault && password.text.length > 0) VaultActions.findLowestLimit(view.vault.id, password.text)
    }
    Connections {
        target: VaultActions
        function onLowestLimitFound(id, megabytes) {
            if (!view.vault || id !== view.vault.id || !view.opened)
                return
            view.lowestMB = megabytes
            sizeField.minimumMB = Math.max(megabytes, Rules.resizeMinimumMB(view.recordedBytes))
        }
    }
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
        objectName: "limitCaption"
        text: "Files inside currently use " + Format.bytes(view.recordedBytes) + " — the limit can be raised anytime"
              + (view.lowestMB > 0 ? ", or lowered down to " + Format.limit(view.lowestMB) + "."
                                   : ". Enter the password to see how far it can be lowered.")
        font.pixelSize: 11; color: Theme.of(Window.window).secondary; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    FieldLabel { text: "Password" }
    TextField {
        id: password
        objectName: "passwordField"
        placeholderText: "Password"
        echoMode: TextInput.Password
        Layout.fillWidth: true
        onTextChanged: lowestLimitQuery.restart()
    }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// "Add to Vault": brings files from the file manager into a vault, unlocking it when needed.
ThemedWindow {
    id: window
    // Only the main window and the tray panel take the design's scheme.
    schemeDark: ColorScheme.prefersDark
    objectName: "importWindow"
    title: "Add to Vault"
    flags: Qt.Dialog | Qt.WindowTitleHint | Qt.WindowCloseButtonHint
    required property var files
    property string selectedVaultId
    // The keyring was asked about this vault: whether it holds a password for it.
    property string checkedVaultId
    property bool hasSavedPassword: false
    readonly property var selectedVault: VaultStore.vaults.find(v => v.id === selectedVaultId)
    readonly property bool unlocked: VaultStore.mountPoints[selectedVaultId] !== undefined
    readonly property bool needsPassword: selectedVault !== undefined && !unlocked
                                          && checkedVaultId === selectedVaultId && !hasSavedPassword
    readonly property bool canRun: selectedVault !== undefined && !importer.working
                                   && (unlocked || checkedVaultId === selectedVaultId)
                                   && (!needsPassword || password.text.length > 0)
    readonly property string heading: files.length === 1
        ? "Add “" + files[0].substring(files[0].lastIndexOf("/") + 1) + "” to a vault"
        : "Add " + files.length + " items to a vault"
    width: 504
    minimumWidth: width
    maximumWidth: width
    visible: true
    // The window takes the height of what it shows in every state (a password field, progress, a
    // result or an error), setting its limits in the order that never clamps the new height.
    readonly property int fittedHeight: column.implicitHeight + 44
    onFittedHeightChanged: fit()
    Component.onCompleted: {
        fit()
        selectedVaultId = VaultStore.vaults.length > 0 ? VaultStore.vaults[0].id : ""
    }
    function fit() {
        if (fittedHeight > height) {
            maximumHeight = fittedHeight
            height = fittedHeight
            minimumHeight = fittedHeight
        } else {
            minimumHeight = fittedHeight
            height = fittedHeight
            maximumHeight = fittedHeight
        }
    }

    function runImport(move) {
        if (canRun)
            importer.run(selectedVaultId, password.text, needsPassword, move)
    }
    function cancel() {
        if (importer.copying)
            importer.cancel()
        else
            close()
    }

    ImportController {
        id: importer
        files: window.files
        onDone: window.close()
    }
    onSelectedVaultIdChanged: if (selectedVaultId.length > 0) VaultActions.checkSavedPassword(selectedVaultId)
    Connections {
        target: VaultActions
        function onSavedPasswordChecked(id, saved) {
            if (id === window.selectedVaultId) {
                window.hasSavedPassword = saved
                window.checkedVaultId = id
            }
        }
    }
    Shortcut { sequences: [StandardKey.Close, "Escape"]; onActivated: window.cancel() }
    Shortcut { sequences: ["Return", "Enter"]; onActivated: window.runImport(false) }

    ColumnLayout {
        id: column
        x: 22
        y: 22
        width: window.width - 44
        spacing: 16
        SheetHeader {
            icon: "tray.and.arrow.down.fill"
            title: window.heading
            subtitle: "The vault unlocks if needed, files are copied in"
            Layout.fillWidth: true
        }
        FieldGroup {
            MenuPicker {
                id: picker
                objectName: "vaultPicker"
                label: "Vault"
                enabled: !importer.working
                choices: VaultStore.vaults.map(v => ({ text: v.name, value: v.id }))
                value: window.selectedVaultId
                onPicked: (id) => window.selectedVaultId = id
            }
            TextField {
                id: password
                objectName: "passwordField"
                visible: window.needsPassword
                enabled: !importer.working
                placeholderText: "Password"
                echoMode: TextInput.Password
                Layout.fillWidth: true
                onVisibleChanged: if (visible) forceActiveFocus()
            }
            ColumnLayout {
                objectName: "progress"
                visible: importer.copying
                spacing: 4
                Layout.fillWidth: true
                ProgressBar { value: importer.progress; Layout.fillWidth: true }
                Text {
                    textFormat: Text.PlainText
                    text: "Copying “" + importer.currentName + "”…"
                    font.pixelSize: 11
                    color: Theme.of(Window.window).secondary
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                }
            }
            RowLayout {
                visible: importer.resultMessage.length > 0
                spacing: 6
                SymbolIcon { name: "checkmark.circle.fill"; color: Theme.of(Window.window).green; size: 14 }
                Text { textFormat: Text.PlainText; objectName: "resultMessage"; text: importer.resultMessage; font.pixelSize: 12; color: Theme.of(Window.window).green }
            }
            Text {
                objectName: "importError"
                textFormat: Text.PlainText
                visible: text.length > 0 && !importer.working
                text: importer.failure
                font.pixelSize: 11
                color: Theme.of(Window.window).errorText
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            Item { Layout.fillWidth: true }
            QuietButton { objectName: "cancelButton"; text: "Cancel"; onClicked: window.cancel() }
            StandardButton {
                objectName: "moveInButton"
                text: importer.working ? "Working…" : "Move In (originals to Trash)"
                enabled: window.canRun
                onClicked: window.runImport(true)
            }
            ProminentButton {
                objectName: "copyInButton"
                text: importer.working ? "Working…" : "Copy In"
                enabled: window.canRun
                onClicked: window.runImport(false)
            }
        }
    }
}

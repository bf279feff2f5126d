import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// Makes a new vault: name, folder, size limit, password twice, an optional hint, and whether to
// remember the password and keep the vault out of cloud sync. Stays open, as typed, on failure.
Sheet {
    id: view
    objectName: "createVaultView"
    property url directory: VaultActions.newVaultFolder()
    property int maxSizeMB: 10240
    property bool saveToKeychain: true
    property bool excludeFromCloud: true
    property bool creating: false
    readonly property string validationMessage: Rules.createValidationMessage(nameField.text, passwordField.text,
                                                                             confirmField.text, hintField.text)
    readonly property bool canCreate: Rules.canCreate(nameField.text, passwordField.text, confirmField.text,
                                                      hintField.text, maxSizeMB, creating)
    sheetWidth: 460
    icon: "plus.square.fill"
    heading: "New Vault"
    subtitle: "An encrypted folder only you can open"
    initialFocus: nameField
    defaultAction: create

    function create() {
        if (!canCreate)
            return
        creating = true
        VaultActions.createVault(nameField.text, directory, maxSizeMB, passwordField.text, hintField.text,
                                 saveToKeychain, excludeFromCloud)
    }
    onOpened: {
        for (const field of [nameField, passwordField, confirmField, hintField])
            field.text = ""
        directory = VaultActions.newVaultFolder()
        maxSizeMB = 10240
        sizeField.load(maxSizeMB)
        saveToKeychain = true
        excludeFromCloud = true
        creating = false
    }
    // Nothing typed is kept once the sheet closes.
    onClosed: {
        passwordField.text = ""
        confirmField.text = ""
    }
    Connections {
        target: VaultActions
        function onCreateFinished(created) {
            view.creating = false
            if (created)
                view.close()
        }
    }

    FieldGroup {
        TextField {
            id: nameField
            objectName: "nameField"
            placeholderText: "e.g. Private"
            Layout.fillWidth: true
        }
        RowLayout {
            Layout.fillWidth: true
            SymbolIcon { name: "folder"; color: Theme.of(Window.window).secondary }
            Text {
                objectName: "directoryLabel"
                textFormat: Text.PlainText
                text: decodeURIComponent(view.directory.toString().replace("file://", ""))
                elide: Text.ElideMiddle
                color: Theme.of(Window.window).secondary
                font.pixelSize: 12
                Layout.fillWidth: true
            }
            QuietButton { objectName: "chooseFolderButton"; text: "Choose…"; onClicked: FolderChooser.choose("createFolder", "Choose a folder for the new vault", "Select", view.directory) }
        }
        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.of(Window.window).separator }
        VaultSizeField {
            id: sizeField
            minimumMB: 16
            Layout.fillWidth: true
            onSizeMBChanged: view.maxSizeMB = sizeMB
        }
        Text {
            textFormat: Text.PlainText
            text: "The vault only occupies the space of the files inside — this is the limit it can grow to. You can raise it later."
            font.pixelSize: 11
            color: Theme.of(Window.window).secondary
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }
    FieldGroup {
        TextField { id: passwordField; objectName: "passwordField"; placeholderText: "Password"; echoMode: TextInput.Password; Layout.fillWidth: true }
        TextField { id: confirmField; objectName: "confirmField"; placeholderText: "Confirm password"; echoMode: TextInput.Password; Layout.fillWidth: true }
        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.of(Window.window).separator }
        FieldLabel { text: "Password hint (optional)" }
        TextField { id: hintField; objectName: "hintField"; placeholderText: "e.g. Month + pet name"; Layout.fillWidth: true }
        Text {
            textFormat: Text.PlainText
            text: "Stored as plaintext with the vault file — anyone with the file can read the hint. Does not unlock, recover, or reset the password."
            font.pixelSize: 11
            color: Theme.of(Window.window).secondary
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        ToggleSwitch { objectName: "saveToKeychain"; text: "Remember password in my keyring"; checked: view.saveToKeychain; onToggled: view.saveToKeychain = checked }
        ToggleSwitch { objectName: "excludeFromCloud"; text: "Keep out of cloud sync (never upload this vault)"; checked: view.excludeFromCloud; onToggled: view.excludeFromCloud = checked }
        SymbolLabel {
            visible: !view.excludeFromCloud && VaultActions.isInsideICloudDrive(view.directory)
            symbol: "icloud.and.arrow.up"
            text: "This folder is synced to the cloud — the encrypted vault file would be uploaded."
            pixelSize: 11
            color: Theme.of(Window.window).orange
            Layout.fillWidth: true
        }
    }
    // The warning stays in view above the buttons, however far the fields scroll.
    footerContent: [
        SymbolLabel {
            objectName: "forgetWarning"
            symbol: "exclamationmark.triangle"
            text: "If you forget the password and it isn’t in your keyring, the contents cannot be recovered by anyone."
            pixelSize: 11
            color: Theme.of(Window.window).orange
            Layout.fillWidth: true
        },
        Text {
            objectName: "validationMessage"
            textFormat: Text.PlainText
            visible: view.validationMessage.length > 0
            text: view.validationMessage
            font.pixelSize: 12
            color: Theme.of(Window.window).errorText
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        },
        RowLayout {
            Item { Layout.fillWidth: true }
            QuietButton { objectName: "cancelButton"; text: "Cancel"; onClicked: view.close() }
            ProminentButton {
                objectName: "createButton"
                text: view.creating ? "Creating…" : "Create Vault"
                enabled: view.canCreate
                onClicked: view.create()
            }
        }
    ]
    Connections {
        target: FolderChooser
        function onChosen(purpose, folder) { if (purpose === "createFolder") view.directory = folder }
    }
}

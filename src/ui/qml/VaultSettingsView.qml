import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// Per-vault options and the hint; nothing is written until "Save".
VaultSheet {
    id: view
    objectName: "vaultSettingsView"
    property bool hasSavedPassword: false
    property string savedPassword
    readonly property string hintMessage: Rules.hintMessage(hint.text, savedPassword)
    icon: "gearshape.fill"
    heading: "Settings for “" + vaultName + "”"
    subtitle: "Only available while the vault is unlocked"
    initialFocus: touch
    buttonLabel: "Save"
    canRun: hintMessage.length === 0
    onOpened: {
        touch.checked = vault.requireTouchID
        openAfter.checked = vault.openInFinderAfterUnlock
        autoOpen.checked = vault.autoOpenAtLaunch
        hint.text = vault.passwordHint
        hasSavedPassword = false
        savedPassword = ""
        VaultActions.checkSavedPassword(vault.id)
    }
    onClosed: savedPassword = ""
    onRun: {
        VaultActions.saveSettings(vault.id, touch.checked, openAfter.checked, autoOpen.checked, hint.text)
        working = false
        close()
    }
    Connections {
        target: VaultActions
        function onSavedPasswordChecked(id, saved, password) {
            if (view.vault && id === view.vault.id) {
                view.hasSavedPassword = saved
                view.savedPassword = password
            }
        }
    }

    ToggleSwitch { id: touch; objectName: "requireTouchID"; text: "Require authentication to unlock" }
    Text {
        textFormat: Text.PlainText
        text: view.hasSavedPassword
              ? "Before the saved password is used, your fingerprint (or login password) is required. Someone at your unlocked computer can’t open this vault."
              : "This vault has no saved password yet — authentication applies once you save one while unlocking."
        font.pixelSize: 11; color: Theme.of(Window.window).secondary; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.of(Window.window).separator }
    ToggleSwitch { id: openAfter; objectName: "openInFinder"; text: "Show in file manager after unlocking" }
    ToggleSwitch { id: autoOpen; objectName: "autoOpen"; text: "Unlock automatically when Hollowkeep starts" }
    Text {
        objectName: "autoOpenCaption"
        textFormat: Text.PlainText
        visible: autoOpen.checked && !view.hasSavedPassword
        text: "Needs the password saved in your keyring — otherwise you’ll be asked at every start."
        font.pixelSize: 11; color: Theme.of(Window.window).orange; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.of(Window.window).separator }
    FieldLabel { text: "Password hint (optional)" }
    TextField { id: hint; objectName: "hintField"; placeholderText: "e.g. Month + pet name"; Layout.fillWidth: true }
    Text {
        textFormat: Text.PlainText
        text: "Stored as plaintext with the vault file — anyone with the file can read the hint. Does not unlock, recover, or reset the password."
        font.pixelSize: 11; color: Theme.of(Window.window).secondary; wrapMode: Text.Wrap; Layout.fillWidth: true
    }
    Text { textFormat: Text.PlainText; objectName: "hintMessage"; visible: view.hintMessage.length > 0; text: view.hintMessage; color: Theme.of(Window.window).errorText; font.pixelSize: 11 }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// The preferences that apply to all vaults. Every control writes its preference at once; the
// parts of the program that act on one read it themselves.
ColumnLayout {
    id: view
    objectName: "settingsView"
    readonly property var lockChoices: [1, 5, 15, 30, 60]
    readonly property alias recorder: recorder
    readonly property Item firstControl: design.box
    spacing: 16

    function minutesText(minutes) {
        return minutes === 60 ? "1 hour" : minutes === 1 ? "1 minute" : minutes + " minutes"
    }
    component Caption: Text {
        textFormat: Text.PlainText
        font.pixelSize: 11
        color: Theme.of(Window.window).secondary
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }

    SheetHeader { icon: "gearshape.fill"; title: "Settings"; subtitle: "Applies to all vaults"; Layout.fillWidth: true }

    FieldGroup {
        MenuPicker {
            id: design
            objectName: "designPicker"
            label: "Design"
            choices: Theme.designs.map(d => ({ text: d.name, value: d.raw }))
            value: Theme.design(Preferences.appTheme)
            onPicked: (raw) => Preferences.appTheme = raw
        }
        Caption { text: "Same features in every design — pick the look you like. Switches instantly." }
    }

    FieldGroup {
        ToggleSwitch {
            id: autoLock
            objectName: "autoLockEnabled"
            text: "Lock vaults automatically"
            checked: Preferences.autoLockEnabled
            onToggled: Preferences.autoLockEnabled = checked
        }
        MenuPicker {
            objectName: "autoLockMinutes"
            label: "After"
            enabled: Preferences.autoLockEnabled
            choices: view.lockChoices.map(m => ({ text: view.minutesText(m), value: m }))
            value: Preferences.autoLockMinutes
            onPicked: (minutes) => Preferences.autoLockMinutes = minutes
        }
        Caption { text: "A vault with files still open is never interrupted — Hollowkeep simply tries again later. Opening a vault from the app resets its timer." }
    }

    FieldGroup {
        ToggleSwitch {
            objectName: "lockOnScreenLock"
            text: "Lock when the screen locks"
            checked: Preferences.lockOnScreenLock
            onToggled: Preferences.lockOnScreenLock = checked
        }
        ToggleSwitch {
            objectName: "lockOnSleep"
            text: "Lock when the computer goes to sleep"
            checked: Preferences.lockOnSleep
            onToggled: Preferences.lockOnSleep = checked
        }
        ToggleSwitch {
            objectName: "lockOnQuit"
            text: "Lock all vaults when quitting Hollowkeep"
            checked: Preferences.lockOnQuit
            onToggled: Preferences.lockOnQuit = checked
        }
        Caption { text: "Locking is always graceful: a vault with files in use stays open rather than risking your data." }
    }

    FieldGroup {
        ToggleSwitch {
            objectName: "panicEnabled"
            text: "Panic shortcut: lock everything instantly"
            checked: Preferences.panicEnabled
            onToggled: Preferences.panicEnabled = checked
        }
        RowLayout {
            Layout.fillWidth: true
            Text { textFormat: Text.PlainText; text: "Shortcut"; font.pixelSize: 13; color: Theme.of(Window.window).primary; opacity: recorder.enabled ? 1 : 0.5 }
            Item { Layout.fillWidth: true }
            ShortcutRecorder { id: recorder; enabled: Preferences.panicEnabled }
        }
        Caption { text: "Works system-wide, even while another app is in front." }
    }

    FieldGroup {
        ToggleSwitch {
            objectName: "menuBarIcon"
            text: "Show Hollowkeep in the system tray"
            enabled: !Preferences.hideDockIcon
            checked: Preferences.menuBarIcon
            onToggled: Preferences.menuBarIcon = checked
        }
        MenuPicker {
            objectName: "menuBarPanel"
            label: "Tray click shows"
            enabled: Preferences.menuBarIcon
            choices: [{ text: "Compact panel", value: true }, { text: "Plain menu", value: false }]
            value: Preferences.menuBarPanel
            onPicked: (panel) => Preferences.menuBarPanel = panel
        }
        ToggleSwitch {
            objectName: "hideDockIcon"
            text: "Hide Hollowkeep from the taskbar"
            checked: Preferences.hideDockIcon
            // Hidden from the taskbar, the tray item is the way back in: it is turned on, and
            // stays on when the program returns to the taskbar.
            onToggled: {
                if (checked)
                    Preferences.menuBarIcon = true
                Preferences.hideDockIcon = checked
            }
        }
        Caption {
            objectName: "trayOnlyCaption"
            visible: Preferences.hideDockIcon
            text: "Hollowkeep won’t appear in the taskbar or the window switcher — reach it from the system tray icon (kept on while hidden from the taskbar)."
        }
        ToggleSwitch {
            objectName: "launchAtLogin"
            text: "Launch Hollowkeep at login"
            checked: SettingsActions.launchAtLogin
            onToggled: SettingsActions.setLaunchAtLogin(checked)
        }
        Text {
            objectName: "loginItemError"
            textFormat: Text.PlainText
            visible: text.length > 0
            text: SettingsActions.loginItemError
            font.pixelSize: 11
            color: Theme.of(Window.window).errorText
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }

    FieldGroup {
        ToggleSwitch {
            objectName: "updateCheckEnabled"
            text: "Tell me when an update is available"
            checked: Preferences.updateCheckEnabled
            onToggled: Preferences.updateCheckEnabled = checked
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: 12
            Text {
                objectName: "updateText"
                textFormat: Text.PlainText
                readonly property bool hasResult: SettingsActions.updateResult.length > 0
                text: hasResult ? SettingsActions.updateResult
                                : "Hollowkeep asks its update server whether a newer version exists. This is its only network access, and no data about you or your vaults is sent."
                font.pixelSize: hasResult ? 12 : 11
                color: hasResult ? Theme.of(Window.window).primary : Theme.of(Window.window).secondary
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            QuietButton {
                objectName: "checkNowButton"
                text: SettingsActions.checkingUpdate ? "Checking…" : "Check Now"
                enabled: !SettingsActions.checkingUpdate
                onClicked: SettingsActions.checkNow()
            }
        }
    }
}

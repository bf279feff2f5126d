import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The panic shortcut's button: shows the stored combination; pressed, it records the next key
// combination with Ctrl, Alt or Super. While it records it takes every key press: Escape cancels,
// a bare or Shift-only key keeps it recording.
QuietButton {
    id: recorder
    objectName: "shortcutRecorder"
    property bool recording: false
    text: recording ? "Press keys…"
                    : SettingsActions.shortcutText(Preferences.panicModifiers, Preferences.panicKeyLabel)
    Accessible.name: recording ? "Press keys…" : "Panic shortcut " + text

    function startRecording() {
        recording = true
        forceActiveFocus()
    }
    function stopRecording() { recording = false }

    onClicked: recording ? stopRecording() : startRecording()
    onEnabledChanged: if (!enabled) stopRecording()
    onActiveFocusChanged: if (!activeFocus) stopRecording()
    Keys.onPressed: (event) => {
        if (!recording)
            return
        event.accepted = true
        const step = SettingsActions.record(event.key, event.modifiers)
        if (step !== "keep")
            stopRecording()
    }
    // Before the button's own handling (Space would press it), and before the window's shortcuts.
    Keys.priority: Keys.BeforeItem
    Keys.onShortcutOverride: (event) => event.accepted = recording
}

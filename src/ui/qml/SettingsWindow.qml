import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The settings window: as tall as its content where the screen allows, scrolling otherwise.
ThemedWindow {
    id: window
    // Only the main window and the tray panel take the design's scheme.
    schemeDark: ColorScheme.prefersDark
    objectName: "settingsWindow"
    title: "Settings"
    readonly property alias view: view
    // The content is 440 wide, with its padding and room for the scroll bar around it.
    width: 440 + 44 + scroll.ScrollBar.vertical.width
    minimumWidth: 440
    height: Math.min(view.implicitHeight + 44, Screen.desktopAvailableHeight - 60)
    minimumHeight: 240

    // Brings the last groups into view.
    function scrollToEnd() { scroll.ScrollBar.vertical.position = 1 - scroll.ScrollBar.vertical.size }

    // The keyboard starts at the first control.
    function focusFirst(reason) { view.firstControl.forceActiveFocus(reason) }

    // Where the content is scrolled to, 0 at the top.
    readonly property real scrollPosition: scroll.ScrollBar.vertical.position

    // Each opening starts at the top, with the first control.
    onVisibleChanged: if (visible) {
        SettingsActions.reload()
        scroll.ScrollBar.vertical.position = 0
        focusFirst(Qt.OtherFocusReason)
    }
    onClosing: view.recorder.stopRecording()
    Shortcut { sequences: [StandardKey.Close, "Escape"]; onActivated: window.close() }

    ScrollView {
        id: scroll
        anchors.fill: parent
        contentWidth: availableWidth
        contentHeight: view.implicitHeight + 44
        ScrollBar.vertical.policy: contentHeight > height ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded
        SettingsView {
            id: view
            x: 22
            y: 22
            width: Math.min(440, scroll.availableWidth - 44)
        }
    }
}

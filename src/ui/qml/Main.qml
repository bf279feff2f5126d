import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The main window "Hollowkeep". It takes its design's size when first shown and again whenever
// the design changes, keeping its top edge; in between the user sizes it freely.
ThemedWindow {
    id: window
    objectName: "main"
    title: "Hollowkeep"
    readonly property var constants: content.constants
    property string appliedDesign: ""
    minimumWidth: constants.minimumWidth
    minimumHeight: constants.minimumHeight
    width: constants.width
    height: constants.height

    function applyDesignSize() {
        if (appliedDesign === content.design)
            return
        const top = y
        width = constants.width
        height = constants.height
        y = top
        appliedDesign = content.design
    }
    Connections {
        target: content
        function onDesignChanged() { window.applyDesignSize() }
    }
    Component.onCompleted: appliedDesign = content.design

    Shortcut {
        sequence: StandardKey.Quit
        context: Qt.ApplicationShortcut
        onActivated: AppDelegate.quit()
    }
    Shortcut {
        sequence: "Ctrl+,"
        context: Qt.ApplicationShortcut
        onActivated: AppWindows.show("SettingsWindow")
    }
    Shortcut {
        sequence: "Ctrl+N"
        onActivated: content.actions.newVault()
    }

    function closeAllPopups() { content.closeAll() }

    // Without a tray to bring it back, a closed window would leave nothing on screen: it goes to
    // the taskbar instead.
    onClosing: (close) => {
        if (!TrayItem.shown()) {
            close.accepted = false
            window.showMinimized()
        }
    }

    ContentView {
        id: content
        objectName: "content"
        anchors.fill: parent
    }
}

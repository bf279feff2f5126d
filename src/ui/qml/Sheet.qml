import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A modal sheet over the main window: a padded column with the given content, scrolling when the
// window is shorter than the sheet. Escape cancels. In a window of its own it fills the window.
Dialog {
    id: sheet
    default property alias content: column.data
    property real sheetWidth: 400
    property bool fillsWindow: false
    readonly property real naturalHeight: column.implicitHeight + topPadding + bottomPadding
    modal: !fillsWindow
    anchors.centerIn: Overlay.overlay
    width: fillsWindow ? (parent ? parent.width : sheetWidth) : Math.min(sheetWidth, parent ? parent.width - 20 : sheetWidth)
    height: fillsWindow ? (parent ? parent.height : naturalHeight) : Math.min(naturalHeight, parent ? parent.height - 20 : 10000)
    padding: 22
    closePolicy: Popup.CloseOnEscape
    header: null
    background: Rectangle {
        radius: sheet.fillsWindow ? 0 : 12
        color: "#fbfbfd"
        border.color: sheet.fillsWindow ? "transparent" : Qt.rgba(0, 0, 0, 0.12)
    }
    contentItem: Flickable {
        contentWidth: width
        contentHeight: column.implicitHeight
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }
        ColumnLayout {
            id: column
            width: parent.width
            spacing: 16
        }
    }
}

import QtQuick
import QtQuick.Layouts

// A symbol before a line of text that wraps: status lines and warnings.
RowLayout {
    id: label
    property alias symbol: icon.name
    property alias text: line.text
    property alias textObjectName: line.objectName
    property color color: Theme.of(Window.window).primary
    property color symbolColor: color
    property real pixelSize: 12
    width: parent ? parent.width : implicitWidth
    spacing: 5

    SymbolIcon {
        id: icon
        color: label.symbolColor
        size: label.pixelSize + 1
        Layout.alignment: Qt.AlignTop
    }
    Text {
        id: line
        textFormat: Text.PlainText
        color: label.color
        font.pixelSize: label.pixelSize
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
}

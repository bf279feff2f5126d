import QtQuick
import QtQuick.Layouts

// The top of every sheet: an icon tile, a title and an optional subtitle. Long names wrap rather
// than hide the end of the text.
RowLayout {
    property string icon
    property string title
    property string subtitle
    spacing: 12
    IconTile { symbol: icon; size: 38; Layout.alignment: Qt.AlignTop }
    ColumnLayout {
        spacing: 2
        Layout.fillWidth: true
        Text {
            textFormat: Text.PlainText
            text: title
            font.pixelSize: 17
            font.bold: true
            color: Theme.of(Window.window).primary
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Text {
            textFormat: Text.PlainText
            text: subtitle
            visible: subtitle.length > 0
            font.pixelSize: 12
            color: Theme.of(Window.window).secondary
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }
}

import QtQuick
import QtQuick.Layouts

// The top of every sheet: an icon tile, a title and an optional subtitle.
RowLayout {
    property string icon
    property string title
    property string subtitle
    spacing: 12
    IconTile { symbol: icon; size: 38 }
    ColumnLayout {
        spacing: 2
        Text { text: title; font.pixelSize: 17; font.bold: true; color: Theme.primary }
        Text {
            text: subtitle
            visible: subtitle.length > 0
            font.pixelSize: 12
            color: Theme.secondary
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
    }
    Item { Layout.fillWidth: true }
}

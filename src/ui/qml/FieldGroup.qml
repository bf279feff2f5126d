import QtQuick
import QtQuick.Layouts

// A padded, rounded group of fields.
Rectangle {
    default property alias content: column.data
    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 28
    implicitWidth: column.implicitWidth + 28
    radius: 12
    color: Qt.rgba(1, 1, 1, 0.6)
    border.width: 1
    border.color: Qt.rgba(0, 0, 0, 0.07)
    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 14
        spacing: 12
    }
}

import QtQuick
import QtQuick.Layouts
import org.hollowkeep

// A padded, rounded group of fields.
Rectangle {
    default property alias content: column.data
    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 28
    implicitWidth: column.implicitWidth + 28
    radius: 12
    color: Theme.of(Window.window).groupBackground
    border.width: 1
    border.color: Theme.of(Window.window).groupBorder
    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 14
        spacing: 12
    }
}

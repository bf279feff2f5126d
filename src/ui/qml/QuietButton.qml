import QtQuick
import QtQuick.Controls
import org.hollowkeep

// A secondary action: medium label on a faint capsule.
Button {
    id: button
    property string symbol
    property real symbolSize: 13
    property color textColor: Theme.of(Window.window).primary

    leftPadding: text.length > 0 ? 14 : 8
    rightPadding: text.length > 0 ? 14 : 8
    topPadding: 7
    bottomPadding: 7
    scale: down ? 0.97 : 1
    opacity: enabled ? 1 : 0.5
    Behavior on scale { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }

    contentItem: Item {
        implicitWidth: row.implicitWidth
        implicitHeight: row.implicitHeight
        Row {
            id: row
            anchors.centerIn: parent
            spacing: 5
            SymbolIcon {
                name: button.symbol
                visible: button.symbol.length > 0
                color: Theme.of(Window.window).primary
                size: button.symbolSize
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                textFormat: Text.PlainText
                text: button.text
                visible: button.text.length > 0
                color: button.textColor
                font.pixelSize: 13
                font.weight: Font.Medium
                anchors.verticalCenter: parent.verticalCenter
            }
        }
    }
    background: Item {
        implicitHeight: 28
        Rectangle {
            anchors.fill: parent
            radius: height / 2
            color: Theme.of(Window.window).quaternaryFill
            opacity: button.down ? 1.0 : 0.6
        }
        FocusRing { control: button; cornerRadius: height / 2 }
    }
}

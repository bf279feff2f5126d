import QtQuick
import org.hollowkeep
import QtQuick.Controls

// The primary action: white semibold label on a gradient capsule.
Button {
    id: button
    property var gradientStops: Theme.accent
    property string symbol

    padding: 0
    leftPadding: 16
    rightPadding: 16
    topPadding: 7
    bottomPadding: 7
    opacity: enabled ? (down ? 0.75 : 1) : 0.5
    scale: down ? 0.97 : 1
    Behavior on scale { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }
    Behavior on opacity { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }

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
                color: "white"
                size: 14
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                textFormat: Text.PlainText
                text: button.text
                color: "white"
                font.pixelSize: 13
                font.weight: Font.DemiBold
                anchors.verticalCenter: parent.verticalCenter
            }
        }
    }
    background: GradientFill {
        implicitHeight: 28
        stops: button.gradientStops
        radius: height / 2
        FocusRing { control: button; cornerRadius: height / 2 }
    }
}

import QtQuick
import QtQuick.Controls
import org.hollowkeep

// An on/off switch in the app's capsule style: the accent gradient when on, a white knob, its
// label beside it; Space toggles it, and the focus ring shows where the keyboard is.
Switch {
    id: toggle
    spacing: 10
    padding: 2
    indicator: Item {
        implicitWidth: 36
        implicitHeight: 20
        x: toggle.leftPadding
        anchors.verticalCenter: parent.verticalCenter
        GradientFill {
            anchors.fill: parent
            radius: height / 2
            stops: Theme.accent
            opacity: toggle.checked ? 1 : 0
            Behavior on opacity { NumberAnimation { duration: 120 } }
        }
        Rectangle {
            anchors.fill: parent
            radius: height / 2
            color: Theme.of(Window.window).quaternaryFill
            visible: !toggle.checked
            border.width: 1
            border.color: Theme.of(Window.window).separator
        }
        Rectangle {
            width: 16
            height: 16
            radius: 8
            y: 2
            x: toggle.checked ? parent.width - width - 2 : 2
            color: "white"
            border.width: 1
            border.color: Qt.rgba(0, 0, 0, 0.12)
            Behavior on x { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }
        }
        FocusRing { control: toggle; cornerRadius: height / 2 }
    }
    contentItem: Text {
        textFormat: Text.PlainText
        text: toggle.text
        font.pixelSize: 13
        color: Theme.of(Window.window).primary
        wrapMode: Text.Wrap
        verticalAlignment: Text.AlignVCenter
        leftPadding: toggle.indicator.width + toggle.spacing
        opacity: toggle.enabled ? 1 : 0.5
    }
}

import QtQuick
import org.hollowkeep

// How full a vault is: a 4-point track with a gradient bar over it.
Item {
    id: bar
    property real fraction: 0
    readonly property var stops: fraction >= 0.95 ? Theme.critical : (fraction >= 0.8 ? Theme.warning : Theme.accent)
    readonly property real fillWidth: Math.max(4, fraction > 1 ? width : width * Math.max(0, fraction))
    implicitHeight: 4

    Rectangle {
        anchors.fill: parent
        radius: height / 2
        color: Theme.of(Window.window).quaternaryFill
    }
    GradientFill {
        objectName: "capacityFill"
        height: parent.height
        width: bar.fillWidth
        radius: height / 2
        stops: bar.stops
        Behavior on width { NumberAnimation { duration: 400; easing.type: Easing.OutQuad } }
    }
}

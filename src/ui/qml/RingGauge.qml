import QtQuick
import org.hollowkeep

// A ring with an arc from the top, clockwise, for a fraction (at least 2 %, at most all of it).
Item {
    id: gauge
    property real fraction: 0
    property real size: 44
    property real thickness: 5
    property color color: Theme.accent[0]
    property color track: Theme.of(Window.window).quaternaryFill
    default property alias center: centerItem.data
    readonly property real shown: Math.max(0.02, Math.min(fraction, 1))
    property real animated: shown
    Behavior on animated { NumberAnimation { duration: 400; easing.type: Easing.OutQuad } }
    width: size
    height: size

    RingArc {
        anchors.fill: parent
        fraction: gauge.animated
        thickness: gauge.thickness
        color: gauge.color
        track: gauge.track
    }
    Item { id: centerItem; anchors.fill: parent }
}

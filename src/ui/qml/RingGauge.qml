import QtQuick
import QtQuick.Shapes

// A ring with an arc from the top, clockwise, for a fraction (at least 2 %, at most all of it).
Item {
    id: gauge
    property real fraction: 0
    property real size: 44
    property real thickness: 5
    property color color: Theme.accent[0]
    property color track: Theme.quaternaryFill
    default property alias center: centerItem.data
    readonly property real shown: Math.max(0.02, Math.min(fraction, 1))
    property real animated: shown
    Behavior on animated { NumberAnimation { duration: 400; easing.type: Easing.OutQuad } }
    width: size
    height: size

    Shape {
        anchors.fill: parent
        layer.enabled: true
        layer.samples: 4
        ShapePath {
            strokeColor: gauge.track
            strokeWidth: gauge.thickness
            fillColor: "transparent"
            PathAngleArc {
                centerX: gauge.size / 2; centerY: gauge.size / 2
                radiusX: (gauge.size - gauge.thickness) / 2; radiusY: radiusX
                startAngle: 0; sweepAngle: 360
            }
        }
        ShapePath {
            strokeColor: gauge.color
            strokeWidth: gauge.thickness
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            PathAngleArc {
                centerX: gauge.size / 2; centerY: gauge.size / 2
                radiusX: (gauge.size - gauge.thickness) / 2; radiusY: radiusX
                startAngle: -90; sweepAngle: 360 * gauge.animated
            }
        }
    }
    Item { id: centerItem; anchors.fill: parent }
}

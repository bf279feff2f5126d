import QtQuick
import Qt5Compat.GraphicalEffects

// A rounded shape filled with one of the Theme gradients, top-leading to bottom-trailing.
Item {
    id: fill
    property var stops: Theme.accent
    property real radius: 0

    Rectangle {
        id: shape
        anchors.fill: parent
        radius: fill.radius
        visible: false
    }
    LinearGradient {
        anchors.fill: parent
        source: shape
        start: Qt.point(0, 0)
        end: Qt.point(fill.width, fill.height)
        gradient: Gradient {
            GradientStop { position: 0; color: fill.stops[0] }
            GradientStop { position: 1; color: fill.stops[1] }
        }
    }
}

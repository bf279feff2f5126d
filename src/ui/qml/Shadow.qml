import QtQuick

// A soft shadow under a rounded shape: a few widening, fading outlines below it.
Item {
    property real radius: 0
    property real strength: 0.1
    property real spread: 4
    property real offsetY: 1
    property color tint: "black"
    Repeater {
        model: 3
        Rectangle {
            required property int index
            x: -(index + 1) * spread / 3
            y: offsetY - (index + 1) * spread / 3 + spread / 3
            width: parent.width + 2 * (index + 1) * spread / 3
            height: parent.height + 2 * (index + 1) * spread / 3
            radius: parent.radius + (index + 1) * spread / 3
            color: Qt.rgba(tint.r, tint.g, tint.b, strength / (index + 2))
        }
    }
}

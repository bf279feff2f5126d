import QtQuick
import Qt5Compat.GraphicalEffects

// A rounded square of a gradient with a white symbol on it.
Item {
    id: tile
    property string symbol
    property var gradientStops: Theme.accent
    property real size: 46
    implicitWidth: size
    implicitHeight: size

    GradientFill {
        id: fill
        anchors.fill: parent
        stops: tile.gradientStops
        radius: tile.size * 0.28
        layer.enabled: true
        layer.effect: DropShadow {
            color: Qt.rgba(0, 0, 0, 0.18)
            radius: 3
            verticalOffset: 1
            samples: 7
        }
    }
    SymbolIcon {
        anchors.centerIn: parent
        name: tile.symbol
        color: "white"
        size: tile.size * 0.42
        font.weight: Font.DemiBold
    }
}

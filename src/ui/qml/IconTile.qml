import QtQuick
import org.hollowkeep

// A rounded square of a gradient with a white symbol on it.
Item {
    id: tile
    property string symbol
    property var gradientStops: Theme.accent
    property real size: 46
    implicitWidth: size
    implicitHeight: size

    Shadow {
        anchors.fill: parent
        radius: tile.size * 0.28
        strength: 0.18
        spread: 3
        offsetY: 1
    }
    GradientFill {
        anchors.fill: parent
        stops: tile.gradientStops
        radius: tile.size * 0.28
    }
    SymbolIcon {
        anchors.centerIn: parent
        name: tile.symbol
        color: "white"
        size: tile.size * 0.42
        font.weight: Font.DemiBold
    }
}

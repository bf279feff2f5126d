import QtQuick
import QtQuick.Shapes

// A rounded shape filled with one of the Theme gradients, top-leading to bottom-trailing.
Shape {
    id: fill
    property var stops: Theme.accent
    property real radius: 0
    readonly property real r: Math.max(0, Math.min(radius, width / 2, height / 2))
    antialiasing: true

    ShapePath {
        strokeWidth: -1
        fillGradient: LinearGradient {
            x1: 0; y1: 0
            x2: fill.width; y2: fill.height
            GradientStop { position: 0; color: fill.stops[0] }
            GradientStop { position: 1; color: fill.stops[1] }
        }
        startX: fill.r; startY: 0
        PathLine { x: fill.width - fill.r; y: 0 }
        PathArc { x: fill.width; y: fill.r; radiusX: fill.r; radiusY: fill.r }
        PathLine { x: fill.width; y: fill.height - fill.r }
        PathArc { x: fill.width - fill.r; y: fill.height; radiusX: fill.r; radiusY: fill.r }
        PathLine { x: fill.r; y: fill.height }
        PathArc { x: 0; y: fill.height - fill.r; radiusX: fill.r; radiusY: fill.r }
        PathLine { x: 0; y: fill.r }
        PathArc { x: fill.r; y: 0; radiusX: fill.r; radiusY: fill.r }
    }
}

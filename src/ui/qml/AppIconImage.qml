import QtQuick
import Qt5Compat.GraphicalEffects

// The application's icon.
Image {
    property real size: 50
    width: size
    height: size
    sourceSize: Qt.size(size * 2, size * 2)
    source: "qrc:/org/hollowkeep/ui/icons/org.hollowkeep.Hollowkeep.svg"
    smooth: true
    mipmap: true
    layer.enabled: true
    layer.effect: DropShadow {
        color: Qt.rgba(0, 0, 0, 0.2)
        radius: Math.max(1, size * 0.06)
        verticalOffset: 1
        samples: 9
    }
}

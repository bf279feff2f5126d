import QtQuick
import QtQuick.Layouts

// The application's icon, resting on a soft shadow the size of its rounded square.
Item {
    property real size: 50
    Layout.preferredWidth: size
    Layout.preferredHeight: size
    width: size
    height: size
    Shadow {
        anchors.fill: parent
        anchors.margins: size * 0.02
        radius: size * 0.22
        strength: 0.16
        spread: Math.max(3, size * 0.08)
        offsetY: Math.max(1, size * 0.04)
    }
    Image {
        anchors.fill: parent
        sourceSize: Qt.size(size * 2, size * 2)
        source: "qrc:/org/hollowkeep/icons/org.hollowkeep.Hollowkeep.svg"
        smooth: true
        mipmap: true
    }
}

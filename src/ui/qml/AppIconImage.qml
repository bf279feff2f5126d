import QtQuick
import QtQuick.Layouts

// The application's icon.
Image {
    property real size: 50
    Layout.preferredWidth: size
    Layout.preferredHeight: size
    width: size
    height: size
    sourceSize: Qt.size(size * 2, size * 2)
    source: "qrc:/org/hollowkeep/icons/org.hollowkeep.Hollowkeep.svg"
    smooth: true
    mipmap: true
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

ApplicationWindow {
    id: window
    objectName: "main"
    title: "Hollowkeep"
    width: 500
    height: 440
    minimumWidth: 420
    minimumHeight: 360
    visible: true

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 8
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "No vaults yet"
            font.pixelSize: 18
            font.bold: true
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "Create an encrypted vault for your private files."
            color: palette.placeholderText
        }
    }
}

import QtQuick
import QtQuick.Controls
import org.hollowkeep

// A row of mutually exclusive choices in one capsule; the chosen one carries the accent. Each
// segment is a button of its own for the keyboard (Tab, Space).
Rectangle {
    id: segments
    property var model: []
    property int currentIndex: 0
    property string objectNamePrefix: "segment_"
    signal activated(int index)
    implicitWidth: row.implicitWidth + 4
    implicitHeight: 26
    radius: height / 2
    color: Theme.of(Window.window).quaternaryFill
    Row {
        id: row
        anchors.centerIn: parent
        Repeater {
            model: segments.model
            delegate: AbstractButton {
                id: segment
                required property string modelData
                required property int index
                objectName: segments.objectNamePrefix + modelData
                text: modelData
                checkable: true
                checked: index === segments.currentIndex
                focusPolicy: Qt.StrongFocus
                implicitWidth: Math.max(44, label.implicitWidth + 20)
                implicitHeight: segments.height - 4
                onClicked: {
                    segments.currentIndex = index
                    segments.activated(index)
                }
                background: Item {
                    GradientFill {
                        anchors.fill: parent
                        radius: height / 2
                        stops: Theme.accent
                        visible: segment.checked
                    }
                    FocusRing { control: segment; cornerRadius: height / 2 }
                }
                contentItem: Text {
                    id: label
                    textFormat: Text.PlainText
                    text: segment.text
                    font.pixelSize: 12
                    font.weight: Font.DemiBold
                    color: segment.checked ? "white" : Theme.of(Window.window).primary
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
            }
        }
    }
}

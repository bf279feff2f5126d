import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The standard push button, between the quiet and the prominent ones: a bordered face in the
// control colour.
QuietButton {
    id: button
    background: Item {
        implicitHeight: 28
        Rectangle {
            anchors.fill: parent
            radius: 7
            color: Theme.of(Window.window).controlBackground
            border.width: 1
            border.color: Theme.of(Window.window).separator
            opacity: button.down ? 0.75 : 1
        }
        FocusRing { control: button; cornerRadius: 7 }
    }
}

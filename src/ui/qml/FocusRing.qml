import QtQuick
import org.hollowkeep

// The keyboard-focus ring drawn around a control's background: shown while the control has the
// focus from the keyboard (Tab), not after a click.
Rectangle {
    objectName: "focusRing"
    property Item control
    property real cornerRadius: 0
    anchors.fill: parent
    anchors.margins: -3
    radius: cornerRadius + 3
    color: "transparent"
    border.width: 2
    border.color: Theme.of(Window.window).focusRing
    visible: control !== null && control.visualFocus === true
}

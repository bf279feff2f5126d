import QtQuick
import QtQuick.Controls
import org.hollowkeep

// A small capsule button of the tray panel: white on the accent when filled, the accent on a
// faint accent otherwise.
AbstractButton {
    id: button
    property bool filled: false
    property color accent: Theme.panelAccent
    focusPolicy: Qt.StrongFocus
    leftPadding: 10
    rightPadding: 10
    topPadding: 4
    bottomPadding: 4
    opacity: enabled ? (down ? 0.75 : 1) : 0.5
    contentItem: Text {
        textFormat: Text.PlainText
        text: button.text
        font.pixelSize: 11
        font.weight: Font.DemiBold
        color: button.filled ? "white" : button.accent
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: height / 2
        color: button.filled ? button.accent : Qt.rgba(button.accent.r, button.accent.g, button.accent.b, 0.12)
        FocusRing { control: button; cornerRadius: height / 2 }
    }
}

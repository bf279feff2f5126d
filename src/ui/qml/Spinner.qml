import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The busy indicator: an accent arc turning on a faint ring, large enough to be seen in a card.
BusyIndicator {
    id: spinner
    implicitWidth: 22
    implicitHeight: 22
    padding: 0
    contentItem: RingArc {
        fraction: 0.28
        thickness: 2.5
        color: Theme.accent[0]
        track: Theme.of(Window.window).quaternaryFill
        visible: spinner.running
        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: spinner.running && spinner.visible
        }
    }
}

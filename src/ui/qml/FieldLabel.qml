import QtQuick
import org.hollowkeep

// The title above a field whose text may be filled in for the user (a saved password, a hint):
// a placeholder would not show then.
Text {
    textFormat: Text.PlainText
    font.pixelSize: 11
    font.weight: Font.DemiBold
    color: Theme.of(Window.window).secondary
}

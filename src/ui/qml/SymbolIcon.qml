import QtQuick
import "Symbols.js" as Symbols

// A symbol by name, drawn from the icon font.
Text {
    textFormat: Text.PlainText
    property string name
    property real size: 13
    text: Symbols.glyph(name)
    font.family: "Material Icons"
    font.pixelSize: size
    verticalAlignment: Text.AlignVCenter
    horizontalAlignment: Text.AlignHCenter
    Accessible.ignored: true
}

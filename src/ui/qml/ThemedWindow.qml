import QtQuick
import QtQuick.Controls
import org.hollowkeep

// A window of the application: the desktop's own font, and the controls coloured from the theme
// (light or dark) so that fields, menus and spin boxes match the views around them.
ApplicationWindow {
    id: themed
    // Dark or light: the design's scheme unless a window says otherwise.
    property bool schemeDark: Theme.dark
    color: Theme.of(themed).windowBackground
    palette.window: Theme.of(themed).windowBackground
    palette.windowText: Theme.of(themed).primary
    palette.base: Theme.of(themed).controlBackground
    palette.alternateBase: Theme.of(themed).groupBackground
    palette.text: Theme.of(themed).primary
    palette.button: Theme.of(themed).controlBackground
    palette.buttonText: Theme.of(themed).primary
    palette.brightText: Theme.of(themed).primary
    palette.highlight: Theme.of(themed).focusRing
    palette.highlightedText: "white"
    palette.placeholderText: Theme.of(themed).placeholder
    palette.light: schemeDark ? "#3a3a3c" : "#ffffff"
    palette.midlight: schemeDark ? "#48484a" : "#e5e5ea"
    palette.mid: schemeDark ? "#636366" : "#c7c7cc"
    palette.dark: schemeDark ? "#8e8e93" : "#8e8e93"
    palette.shadow: "black"
    palette.toolTipBase: Theme.of(themed).controlBackground
    palette.toolTipText: Theme.of(themed).primary
}

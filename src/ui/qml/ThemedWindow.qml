import QtQuick
import QtQuick.Controls
import org.hollowkeep

// A window of the application: the desktop's own font, and the controls coloured from the theme
// (light or dark) so that fields, menus and spin boxes match the views around them.
ApplicationWindow {
    color: Theme.windowBackground
    palette.window: Theme.windowBackground
    palette.windowText: Theme.primary
    palette.base: Theme.controlBackground
    palette.alternateBase: Theme.groupBackground
    palette.text: Theme.primary
    palette.button: Theme.controlBackground
    palette.buttonText: Theme.primary
    palette.brightText: Theme.primary
    palette.highlight: Theme.focusRing
    palette.highlightedText: "white"
    palette.placeholderText: Theme.placeholder
    palette.light: Theme.dark ? "#3a3a3c" : "#ffffff"
    palette.midlight: Theme.dark ? "#48484a" : "#e5e5ea"
    palette.mid: Theme.dark ? "#636366" : "#c7c7cc"
    palette.dark: Theme.dark ? "#8e8e93" : "#8e8e93"
    palette.shadow: "black"
    palette.toolTipBase: Theme.controlBackground
    palette.toolTipText: Theme.primary
}

import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The application's own menu, in every design: Settings…, then the two information windows in the
// order About…, What’s New…. A bare symbol, so that a header keeps its room at the window's width.
PanelIconButton {
    id: button
    objectName: "appMenuButton"
    symbol: "gearshape"
    size: 17
    tip: "Settings and information"
    onClicked: appMenu.popup(button, 0, button.height + 4)
    FittedMenu {
        id: appMenu
        objectName: "appMenu"
        MenuItem { objectName: "settingsItem"; text: "Settings…"; onTriggered: AppWindows.show("SettingsWindow") }
        MenuItem { objectName: "aboutItem"; text: "About…"; onTriggered: AppWindows.show("AboutWindow") }
        MenuItem { objectName: "whatsNewItem"; text: "What’s New…"; onTriggered: AppWindows.show("ChangelogWindow") }
    }
}

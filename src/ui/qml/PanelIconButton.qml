import QtQuick
import QtQuick.Controls
import org.hollowkeep

// A plain symbol button with a tooltip, for the tray panel's footer and rows.
AbstractButton {
    id: button
    property string symbol
    property string tip
    property color color: Theme.of(Window.window).secondary
    property real size: 13
    focusPolicy: Qt.StrongFocus
    padding: 3
    Accessible.name: tip
    ToolTip.visible: hovered && tip.length > 0
    ToolTip.text: tip
    ToolTip.delay: 500
    contentItem: SymbolIcon { name: button.symbol; size: button.size; color: button.color; opacity: button.down ? 0.6 : 1 }
    background: Item { FocusRing { control: button; cornerRadius: 4 } }
}

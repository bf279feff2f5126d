import QtQuick
import QtQuick.Controls

// A tooltip that shows its text as it stands: a path or a name is data, never markup.
ToolTip {
    id: tip
    contentItem: Text {
        textFormat: Text.PlainText
        text: tip.text
        font: tip.font
        wrapMode: Text.Wrap
        color: tip.palette.toolTipText
    }
}

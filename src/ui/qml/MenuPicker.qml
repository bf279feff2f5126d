import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// A label and a pop-up menu of choices ([{text, value}]) bound to one value.
RowLayout {
    id: picker
    property string label
    property var choices: []
    property var value
    signal picked(var value)
    readonly property alias box: box
    spacing: 10
    Layout.fillWidth: true
    opacity: enabled ? 1 : 0.5

    Text { textFormat: Text.PlainText; text: picker.label; font.pixelSize: 13; color: Theme.of(Window.window).primary }
    Item { Layout.fillWidth: true }
    ComboBox {
        id: box
        objectName: picker.objectName.length > 0 ? picker.objectName + "Box" : ""
        model: picker.choices
        textRole: "text"
        valueRole: "value"
        currentIndex: picker.choices.findIndex(choice => choice.value === picker.value)
        onActivated: (index) => picker.picked(picker.choices[index].value)
        Accessible.name: picker.label
        implicitWidth: {
            let widest = 0
            for (const choice of picker.choices)
                widest = Math.max(widest, metrics.advanceWidth(choice.text))
            return widest + 48
        }
        FontMetrics { id: metrics; font: box.font }
        background: Rectangle {
            implicitHeight: 28
            radius: 7
            color: Theme.of(Window.window).controlBackground
            border.width: 1
            border.color: Theme.of(Window.window).separator
            FocusRing { control: box; cornerRadius: 7 }
        }
    }
}

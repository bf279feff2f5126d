import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A modal alert: the application icon, a bold title, an informative text and buttons. Return
// presses the default button (the one marked so, or the last that is neither cancel nor
// destructive; a single button is its own default); Escape presses the one marked as cancel.
Dialog {
    id: alert
    property string message
    // [{ text, role: "destructive"|"cancel"|"default" }]
    property var buttons: [{ text: "OK", role: "cancel" }]
    signal chosen(string text)

    modal: true
    focus: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(parent ? parent.width - 40 : 360, 360)
    padding: 20
    closePolicy: Popup.CloseOnEscape
    onRejected: {
        for (const b of buttons)
            if (b.role === "cancel")
                chosen(b.text)
    }

    background: Rectangle {
        radius: 12
        color: Theme.of(Window.window).sheetBackground
        border.color: Theme.of(Window.window).separator
    }
    header: null
    contentItem: ColumnLayout {
        spacing: 10
        focus: true
        Keys.onReturnPressed: alert.pressReturn()
        Keys.onEnterPressed: alert.pressReturn()
        AppIconImage { size: 56; Layout.alignment: Qt.AlignHCenter }
        Text {
            objectName: "alertTitle"
            textFormat: Text.PlainText
            text: alert.title
            font.pixelSize: 14
            font.bold: true
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            color: Theme.of(Window.window).primary
            Layout.fillWidth: true
        }
        Text {
            objectName: "alertMessage"
            textFormat: Text.PlainText
            text: alert.message
            visible: text.length > 0
            font.pixelSize: 12
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            color: Theme.of(Window.window).primary
            Layout.fillWidth: true
        }
        ColumnLayout {
            spacing: 6
            Layout.topMargin: 6
            Layout.fillWidth: true
            Repeater {
                model: alert.buttons
                delegate: Loader {
                    required property var modelData
                    required property int index
                    Layout.fillWidth: true
                    sourceComponent: index === alert.defaultIndex() ? prominent : quiet
                    onLoaded: {
                        item.objectName = "alertButton_" + modelData.text
                        item.text = modelData.text
                        item.destructive = modelData.role === "destructive"
                        item.clicked.connect(() => alert.press(modelData.text))
                    }
                }
            }
        }
    }
    Component {
        id: prominent
        ProminentButton { property bool destructive: false; gradientStops: destructive ? Theme.critical : Theme.accent }
    }
    Component {
        id: quiet
        QuietButton { property bool destructive: false; textColor: destructive ? Theme.of(Window.window).errorText : Theme.of(Window.window).primary }
    }
    function defaultIndex() {
        if (buttons.length === 1)
            return 0
        for (let i = 0; i < buttons.length; ++i)
            if (buttons[i].role === "default")
                return i
        for (let i = buttons.length - 1; i >= 0; --i)
            if (buttons[i].role !== "cancel" && buttons[i].role !== "destructive")
                return i
        return -1
    }
    // A button focused with Tab answers Return itself; otherwise the default one does.
    function pressReturn() {
        const focused = alert.contentItem.Window.activeFocusItem
        if (focused && focused.objectName.startsWith("alertButton_")) {
            focused.clicked()
            return
        }
        const index = defaultIndex()
        if (index >= 0)
            press(buttons[index].text)
    }
    function press(text) {
        alert.chosen(text)
        alert.close()
    }
}

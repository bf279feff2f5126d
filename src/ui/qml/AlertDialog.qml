import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A modal alert: the application icon, a bold title, an informative text and buttons, the last
// of which is the default (Return); Escape presses the one marked as cancel.
Dialog {
    id: alert
    property string message
    // [{ text, role: "destructive"|"cancel"|"default" }]
    property var buttons: [{ text: "OK", role: "cancel" }]
    signal chosen(string text)

    modal: true
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
        color: "#fbfbfd"
        border.color: Qt.rgba(0, 0, 0, 0.12)
    }
    header: null
    contentItem: ColumnLayout {
        spacing: 10
        AppIconImage { size: 56; Layout.alignment: Qt.AlignHCenter }
        Text {
            objectName: "alertTitle"
            text: alert.title
            font.pixelSize: 14
            font.bold: true
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            color: Theme.primary
            Layout.fillWidth: true
        }
        Text {
            objectName: "alertMessage"
            text: alert.message
            visible: text.length > 0
            font.pixelSize: 12
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            color: Theme.primary
            Layout.fillWidth: true
        }
        ColumnLayout {
            spacing: 6
            Layout.topMargin: 6
            Layout.fillWidth: true
            Repeater {
                model: alert.buttons
                delegate: Button {
                    required property var modelData
                    required property int index
                    objectName: "alertButton_" + modelData.text
                    text: modelData.text
                    Layout.fillWidth: true
                    highlighted: modelData.role === "default" || (index === alert.buttons.length - 1 && modelData.role !== "cancel")
                    palette.buttonText: modelData.role === "destructive" ? "#d70015" : Theme.primary
                    onClicked: {
                        alert.chosen(modelData.text)
                        alert.close()
                    }
                }
            }
        }
    }
    // Return presses the default button.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: alert.visible
        onActivated: {
            for (let i = alert.buttons.length - 1; i >= 0; --i) {
                if (alert.buttons[i].role !== "cancel" && alert.buttons[i].role !== "destructive") {
                    alert.chosen(alert.buttons[i].text)
                    alert.close()
                    return
                }
            }
        }
    }
}

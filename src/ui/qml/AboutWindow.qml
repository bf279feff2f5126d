import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// Who made the program and which version runs. Closing hides it; it opens again as it was.
ThemedWindow {
    id: window
    // Only the main window and the tray panel take the design's scheme.
    schemeDark: ColorScheme.prefersDark
    objectName: "aboutWindow"
    title: "About Hollowkeep"
    flags: Qt.Dialog | Qt.WindowTitleHint | Qt.WindowCloseButtonHint
    width: 340
    height: column.implicitHeight + 56
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    Shortcut { sequences: [StandardKey.Close, "Escape"]; onActivated: window.close() }

    component Line: Text {
        textFormat: Text.PlainText
        font.pixelSize: 11
        color: Theme.of(Window.window).secondary
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
    component Link: Text {
        property string address
        text: "<a href=\"" + address + "\">" + address.replace(/^https:\/\//, "") + "</a>"
        textFormat: Text.StyledText
        linkColor: Theme.of(Window.window).focusRing
        font.pixelSize: 12
        Layout.alignment: Qt.AlignHCenter
        onLinkActivated: (link) => Qt.openUrlExternally(link)
        HoverHandler { cursorShape: Qt.PointingHandCursor }
    }

    ColumnLayout {
        id: column
        x: 28
        y: 28
        width: window.width - 56
        spacing: 10
        AppIconImage { size: 84; Layout.alignment: Qt.AlignHCenter }
        Text {
            textFormat: Text.PlainText
            text: "Hollowkeep"
            font.pixelSize: 22
            font.bold: true
            color: Theme.of(Window.window).primary
            Layout.alignment: Qt.AlignHCenter
        }
        Text {
            objectName: "aboutVersion"
            textFormat: Text.PlainText
            text: "Version " + Changelog.version
            font.pixelSize: 12
            color: Theme.of(Window.window).secondary
            Layout.alignment: Qt.AlignHCenter
        }
        Rectangle { implicitHeight: 1; color: Theme.of(Window.window).separator; Layout.fillWidth: true }
        Text {
            textFormat: Text.PlainText
            text: "Made by the Hollowkeep developers"
            font.pixelSize: 13
            color: Theme.of(Window.window).primary
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        Line { text: "Hollowkeep Project · Postfach 10 04 · 10001 Berlin · Germany" }
        Link { address: "https://hollowkeep.org" }
        Link { address: "https://hollowkeep.org/privacy" }
        Line { text: "© 2026 The Hollowkeep developers. All rights reserved."; font.pixelSize: 10 }
    }
}

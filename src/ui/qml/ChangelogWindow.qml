import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// What's New: the big steps of every release, newest first.
ThemedWindow {
    id: window
    // Only the main window and the tray panel take the design's scheme.
    schemeDark: ColorScheme.prefersDark
    objectName: "changelogWindow"
    title: "What’s New"
    flags: Qt.Dialog | Qt.WindowTitleHint | Qt.WindowCloseButtonHint
    width: 470
    height: 560
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    Shortcut { sequences: [StandardKey.Close, "Escape"]; onActivated: window.close() }
    onVisibleChanged: if (visible) scroll.ScrollBar.vertical.position = 0

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        RowLayout {
            Layout.margins: 20
            spacing: 12
            AppIconImage { size: 44 }
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                Text { textFormat: Text.PlainText; text: "What’s New in Hollowkeep"; font.pixelSize: 18; font.bold: true; color: Theme.of(Window.window).primary }
                Text {
                    textFormat: Text.PlainText
                    text: "The big steps — small fixes live in the release notes"
                    font.pixelSize: 12
                    color: Theme.of(Window.window).secondary
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
        }
        ScrollView {
            id: scroll
            objectName: "changelogList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            contentHeight: cards.implicitHeight + 22
            ScrollBar.vertical.policy: ScrollBar.AlwaysOn
            focus: true
            Keys.onUpPressed: ScrollBar.vertical.decrease()
            Keys.onDownPressed: ScrollBar.vertical.increase()
            ColumnLayout {
                id: cards
                x: 18
                y: 4
                width: scroll.availableWidth - 36
                spacing: 14
                Repeater {
                    model: Changelog.entries
                    delegate: Rectangle {
                        required property var modelData
                        Layout.fillWidth: true
                        implicitHeight: card.implicitHeight + 32
                        radius: 14
                        color: Qt.rgba(Theme.of(Window.window).controlBackground.r, Theme.of(Window.window).controlBackground.g, Theme.of(Window.window).controlBackground.b, 0.6)
                        border.width: 1
                        border.color: Qt.rgba(Theme.of(Window.window).primary.r, Theme.of(Window.window).primary.g, Theme.of(Window.window).primary.b, 0.06)
                        ColumnLayout {
                            id: card
                            x: 16
                            y: 16
                            width: parent.width - 32
                            spacing: 9
                            RowLayout {
                                spacing: 8
                                Label {
                                    objectName: "versionCapsule"
                                    textFormat: Text.PlainText
                                    // Wrapping texts beside items unsettle centring in a row.
                                    Layout.alignment: Qt.AlignTop
                                    Layout.topMargin: 1
                                    text: modelData.version
                                    font.pixelSize: 11
                                    font.bold: true
                                    color: "white"
                                    leftPadding: 8
                                    rightPadding: 8
                                    topPadding: 3
                                    bottomPadding: 3
                                    background: GradientFill { radius: height / 2; stops: Theme.accent }
                                }
                                Text {
                                    textFormat: Text.PlainText
                                    text: modelData.title
                                    Layout.alignment: Qt.AlignTop
                                    font.pixelSize: 14
                                    font.bold: true
                                    color: Theme.of(Window.window).primary
                                    wrapMode: Text.Wrap
                                    Layout.fillWidth: true
                                }
                            }
                            Repeater {
                                model: modelData.points
                                delegate: RowLayout {
                                    required property var modelData
                                    spacing: 10
                                    Layout.fillWidth: true
                                    Rectangle {
                                        implicitWidth: 26
                                        Layout.alignment: Qt.AlignTop
                                        implicitHeight: 26
                                        radius: 7
                                        color: Qt.rgba(Theme.accent[0].r, Theme.accent[0].g, Theme.accent[0].b, 0.12)
                                        SymbolIcon { anchors.centerIn: parent; name: modelData.icon; size: 14; color: Theme.accent[0] }
                                    }
                                    ColumnLayout {
                                        spacing: 1
                                        Layout.fillWidth: true
                                        Layout.alignment: Qt.AlignTop
                                        Text { textFormat: Text.PlainText; text: modelData.name; font.pixelSize: 13; font.weight: Font.DemiBold; color: Theme.of(Window.window).primary }
                                        Text {
                                            textFormat: Text.PlainText
                                            text: modelData.detail
                                            font.pixelSize: 12
                                            color: Theme.of(Window.window).secondary
                                            wrapMode: Text.Wrap
                                            Layout.fillWidth: true
                                        }
                                    }
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

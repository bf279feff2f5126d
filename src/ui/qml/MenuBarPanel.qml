import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// The tray's compact panel: a header with Lock All, a row per vault (ring gauge, caption, mini
// buttons, a secondary-click menu) and a footer with the new/existing menu and the windows. A
// frameless window at the tray; it closes when it loses the focus or on Escape.
ThemedWindow {
    id: panel
    objectName: "menuBarPanel"
    title: "Hollowkeep"
    flags: Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
    readonly property color accent: Theme.panelAccent
    readonly property alias addMenu: footerMenu
    readonly property int openCount: Object.keys(VaultStore.mountPoints).length
    width: 300
    minimumWidth: 300
    maximumWidth: 300
    height: Math.ceil(layout.implicitHeight)
    minimumHeight: height
    maximumHeight: height

    onActiveChanged: if (!active && visible && !footerMenu.visible) TrayItem.hidePanel()
    Shortcut { sequence: "Escape"; onActivated: TrayItem.hidePanel() }

    Rectangle {
        anchors.fill: parent
        color: Theme.of(Window.window).windowBackground
        border.color: Theme.of(Window.window).separator
        GradientFill {
            anchors.fill: parent
            visible: Theme.design(Preferences.appTheme) === "softFocus"
            stops: [Qt.rgba(0.95, 0.92, 0.97, 1), Qt.rgba(0.93, 0.94, 0.93, 1)]
        }
    }

    ColumnLayout {
        id: layout
        width: parent.width
        spacing: 0

        RowLayout {
            objectName: "panelHeader"
            spacing: 8
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 9
            Layout.bottomMargin: 9
            AppIconImage { size: 22 }
            Text { textFormat: Text.PlainText; text: "Hollowkeep"; font.pixelSize: 13; font.bold: true; color: Theme.of(Window.window).primary }
            Item { Layout.fillWidth: true }
            AbstractButton {
                id: lockAll
                objectName: "panelLockAll"
                visible: panel.openCount > 0
                focusPolicy: Qt.StrongFocus
                padding: 2
                onClicked: VaultActions.lockAll()
                contentItem: Row {
                    spacing: 4
                    SymbolIcon { name: "lock.fill"; size: 11; color: panel.accent; anchors.verticalCenter: parent.verticalCenter }
                    Text { textFormat: Text.PlainText; text: "Lock All"; font.pixelSize: 11; font.weight: Font.DemiBold; color: panel.accent }
                }
                background: Item { FocusRing { control: lockAll; cornerRadius: 4 } }
            }
        }

        Text {
            objectName: "panelEmpty"
            textFormat: Text.PlainText
            visible: VaultStore.vaultCount === 0
            text: "No vaults yet"
            font.pixelSize: 11
            color: Theme.of(Window.window).secondary
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 14
            Layout.bottomMargin: 14
        }

        ColumnLayout {
            visible: VaultStore.vaultCount > 0
            spacing: 2
            Layout.fillWidth: true
            Layout.leftMargin: 8
            Layout.rightMargin: 8
            Layout.bottomMargin: 6
            Repeater {
                model: VaultStore.vaults
                delegate: PanelRow {
                    required property var modelData
                    vault: modelData
                    accent: panel.accent
                    Layout.fillWidth: true
                }
            }
        }

        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.of(Window.window).separator }

        RowLayout {
            objectName: "panelFooter"
            spacing: 14
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            PanelIconButton {
                id: addButton
                objectName: "panelAdd"
                symbol: "plus.circle.fill"
                size: 16
                color: panel.accent
                tip: "New or existing vault"
                onClicked: footerMenu.popup(addButton, 0, addButton.height)
                Menu {
                    id: footerMenu
                    objectName: "panelAddMenu"
                    MenuItem { objectName: "panelNewVault"; text: "New Vault…"; onTriggered: TrayItem.newVault() }
                    MenuItem { objectName: "panelAddExisting"; text: "Add Existing Vault…"; onTriggered: VaultActions.chooseExisting() }
                }
            }
            Item { Layout.fillWidth: true }
            PanelIconButton { objectName: "panelOpen"; symbol: "macwindow"; tip: "Open Hollowkeep"; onClicked: TrayItem.showMainWindow() }
            PanelIconButton { objectName: "panelSettings"; symbol: "gearshape"; tip: "Settings"; onClicked: TrayItem.showSettings() }
            PanelIconButton { objectName: "panelWhatsNew"; symbol: "sparkles"; tip: "What’s New"; onClicked: TrayItem.showWhatsNew() }
            PanelIconButton { objectName: "panelAbout"; symbol: "info.circle"; tip: "About"; onClicked: TrayItem.showAbout() }
            PanelIconButton { objectName: "panelQuit"; symbol: "power"; tip: "Quit Hollowkeep"; onClicked: TrayItem.quit() }
        }
    }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// The classic design: a header, then the empty state or the list of vault cards.
Item {
    id: home
    property var actions

    readonly property HomeSummary summary: HomeSummary {}
    readonly property int vaultCount: summary.vaultCount
    readonly property int openCount: summary.openCount
    readonly property string subtitle: vaultCount === 0
        ? "Encrypted folders, your key only"
        : [summary.vaultsText(vaultCount), openCount > 0 ? openCount + " open" : "all locked",
           Format.bytes(summary.totalUsed) + " on disk"].join(" · ")

    Rectangle {
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0; color: Theme.of(Window.window).windowBackground }
            GradientStop { position: 1; color: Theme.of(Window.window).underPageBackground }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            objectName: "header"
            spacing: 10
            Layout.fillWidth: true
            Layout.leftMargin: 14
            Layout.rightMargin: 12
            Layout.topMargin: 12
            Layout.bottomMargin: 10
            AppIconImage { size: 50 }
            // The title gives way first: the buttons stay whole at the smallest window.
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                Layout.minimumWidth: 0
                Text {
                    textFormat: Text.PlainText; text: "Hollowkeep"; font.pixelSize: 19; font.bold: true
                    color: Theme.of(Window.window).primary
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                    Layout.minimumWidth: 0
                }
                Text {
                    objectName: "subtitle"
                    textFormat: Text.PlainText
                    text: home.subtitle
                    font.pixelSize: 12
                    color: Theme.of(Window.window).secondary
                    wrapMode: Text.Wrap
                    elide: Text.ElideRight
                    maximumLineCount: 2
                    Layout.fillWidth: true
                }
            }
            QuietButton {
                objectName: "lockAllButton"
                visible: home.openCount > 0
                // Only its symbol in a narrow window, with the name as a tip.
                text: home.width < 540 ? "" : "Lock All"
                symbol: "lock.fill"
                Accessible.name: "Lock All"
                ToolTip.visible: hovered && text.length === 0
                ToolTip.text: "Lock All"
                onClicked: home.actions.lockAll()
            }
            ProminentButton {
                id: newVault
                objectName: "newVaultButton"
                text: "New Vault"
                symbol: "plus"
                rightPadding: 30
                onClicked: home.actions.newVault()
                Keys.onDownPressed: newVaultMenu.popup(newVault, 0, newVault.height + 4)
                // The menu part of the button: add a vault that exists on disk. It takes the press
                // itself, so the button under it does not open the create sheet as well.
                SymbolIcon {
                    anchors.right: parent.right
                    anchors.rightMargin: 10
                    anchors.verticalCenter: parent.verticalCenter
                    text: "\ue5c5"
                    color: "white"
                    size: 16
                    MouseArea {
                        objectName: "newVaultChevron"
                        anchors.fill: parent
                        anchors.margins: -6
                        onClicked: newVaultMenu.popup(newVault, 0, newVault.height + 4)
                    }
                }
                Menu {
                    id: newVaultMenu
                    MenuItem { objectName: "addExistingItem"; text: "Add Existing Vault…"; onTriggered: home.actions.addExisting() }
                }
            }
            AppMenuButton { Layout.leftMargin: -4 }
        }

        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Theme.of(Window.window).separator; opacity: 0.5 }

        ColumnLayout {
            objectName: "emptyState"
            visible: home.vaultCount === 0
            spacing: 16
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 40
            Item { Layout.fillHeight: true }
            AppIconImage { size: 96; Layout.alignment: Qt.AlignHCenter }
            Text {
                textFormat: Text.PlainText
                text: "No vaults yet"
                font.pixelSize: 22
                font.bold: true
                color: Theme.of(Window.window).primary
                Layout.alignment: Qt.AlignHCenter
            }
            Text {
                textFormat: Text.PlainText
                text: "A vault is an encrypted folder that only takes up the space\nof the files inside, up to a limit you choose."
                horizontalAlignment: Text.AlignHCenter
                color: Theme.of(Window.window).secondary
                font.pixelSize: 13
                Layout.alignment: Qt.AlignHCenter
            }
            ProminentButton {
                objectName: "createFirstButton"
                text: "Create Your First Vault"
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: 8
                onClicked: home.actions.newVault()
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
                // The one thing to do in an empty window: Return does it.
                onVisibleChanged: if (visible) forceActiveFocus()
                Component.onCompleted: if (visible) forceActiveFocus()
            }
            Item { Layout.fillHeight: true }
        }

        ScrollView {
            objectName: "vaultList"
            visible: home.vaultCount > 0
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            ListView {
                id: list
                objectName: "vaultListView"
                // By position: a change to a vault (an unlock records its time) updates its card
                // instead of building every card anew, so the focus stays on the card acted on.
                model: VaultStore.vaultCount
                spacing: 8
                topMargin: 14
                bottomMargin: 14
                leftMargin: 14
                rightMargin: 14
                keyNavigationEnabled: true
                delegate: VaultCard {
                    required property int index
                    vault: VaultStore.vaults[index]
                    actions: home.actions
                    width: list.width - 28
                }
            }
        }
    }
}

import QtQuick
import QtQuick.Controls
import org.hollowkeep

// One vault in the classic list: state tile, name with badges, capacity, and the controls for its
// state. A secondary click opens the vault's context menu. From the keyboard the card takes the
// focus (Tab, arrows between cards): Return unlocks, opens or locates it, the Menu key or
// Shift+F10 opens its menu.
Item {
    id: card
    objectName: "vaultCard"
    required property var vault
    property var actions
    property bool hovering: hover.hovered

    readonly property string vaultId: vault.id
    readonly property VaultState vaultState: VaultState { vault: card.vault }
    readonly property bool unlocked: vaultState.unlocked
    readonly property bool busy: vaultState.busy
    readonly property string fileState: vaultState.fileState
    readonly property real usedBytes: vaultState.usedBytes
    readonly property real usedFraction: vaultState.usedFraction
    readonly property bool nearlyFull: fileState === "present" && usedFraction >= 0.9

    implicitHeight: 66
    activeFocusOnTab: true
    readonly property bool visualFocus: activeFocus

    Keys.onReturnPressed: vaultState.runReturn(actions)
    Keys.onEnterPressed: vaultState.runReturn(actions)
    Keys.onMenuPressed: openMenu(width - 250, height / 2)
    Keys.onPressed: (event) => {
        if (event.key === Qt.Key_F10 && (event.modifiers & Qt.ShiftModifier)) {
            openMenu(width - 250, height / 2)
            event.accepted = true
        }
    }

    Shadow {
        anchors.fill: parent
        radius: 14
        strength: card.hovering ? 0.1 : 0.05
        spread: card.hovering ? 8 : 4
        offsetY: 2
    }
    Rectangle {
        id: background
        anchors.fill: parent
        radius: 14
        color: card.hovering ? Theme.of(Window.window).cardHoverBackground : Theme.of(Window.window).cardBackground
        border.width: 1
        border.color: card.unlocked ? Qt.rgba(0.16, 0.65, 0.27, 0.35) : Theme.of(Window.window).groupBorder
        Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.OutQuad } }
        Behavior on border.color { ColorAnimation { duration: 250; easing.type: Easing.OutQuad } }
        FocusRing { control: card; cornerRadius: 14 }
    }

    HoverHandler { id: hover }
    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: (eventPoint) => menu.popup()
    }
    function openMenu(x, y) { menu.popup(x, y) }
    VaultContextMenu {
        id: menu
        objectName: "contextMenu"
        vault: card.vault
        actions: card.actions
    }

    IconTile {
        id: tile
        objectName: "stateTile"
        anchors.left: parent.left
        anchors.leftMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        size: 46
        symbol: card.unlocked ? "lock.open.fill" : "lock.fill"
        gradientStops: card.unlocked ? Theme.unlocked : Theme.locked
    }

    Column {
        id: info
        anchors.left: tile.right
        anchors.leftMargin: 12
        anchors.right: controls.left
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 5

        Row {
            id: nameRow
            spacing: 5
            width: parent.width
            Text {
                objectName: "name"
                textFormat: Text.PlainText
                text: card.vault.name
                font.pixelSize: 15
                font.weight: Font.DemiBold
                color: Theme.of(Window.window).primary
                elide: Text.ElideMiddle
                maximumLineCount: 1
                width: Math.min(implicitWidth, nameRow.width - badges.width - nameRow.spacing)
                anchors.verticalCenter: parent.verticalCenter
            }
            Row {
                id: badges
                spacing: 5
                anchors.verticalCenter: parent.verticalCenter
                SymbolIcon {
                    objectName: "openBadge"
                    visible: card.unlocked
                    name: "lock.open.fill"; size: 11; color: Theme.of(Window.window).green; font.weight: Font.DemiBold
                    ToolTip.visible: openHover.hovered; ToolTip.text: "Vault is open"
                    HoverHandler { id: openHover }
                }
                SymbolIcon {
                    objectName: "cloudBadge"
                    visible: card.vault.excludedFromCloud
                    name: "icloud.slash"; size: 11; color: Theme.of(Window.window).secondary
                    ToolTip.visible: cloudHover.hovered; ToolTip.text: "Kept out of cloud sync — never uploaded"
                    HoverHandler { id: cloudHover }
                }
                SymbolIcon {
                    objectName: "touchBadge"
                    visible: card.vault.requireTouchID
                    name: "touchid"; size: 11; color: Theme.of(Window.window).secondary
                    ToolTip.visible: touchHover.hovered; ToolTip.text: "Authentication required to unlock"
                    HoverHandler { id: touchHover }
                }
                GradientFill {
                    objectName: "nearlyFullBadge"
                    visible: card.nearlyFull
                    stops: card.usedFraction >= 0.95 ? Theme.critical : Theme.warning
                    width: badgeText.implicitWidth + 12
                    height: badgeText.implicitHeight + 4
                    radius: height / 2
                    Text {
                        id: badgeText
                        textFormat: Text.PlainText
                        anchors.centerIn: parent
                        text: "NEARLY FULL"
                        color: "white"
                        font.pixelSize: 9
                        font.bold: true
                    }
                    ToolTip.visible: badgeHover.hovered; ToolTip.text: "Lock the vault, then right-click it to raise the size limit"
                    HoverHandler { id: badgeHover }
                }
            }
        }

        // Status line by file state.
        Column {
            visible: card.fileState === "present"
            spacing: 4
            width: parent.width
            CapacityBar {
                objectName: "capacityBar"
                fraction: card.usedFraction
                width: Math.min(parent.width, 170)
            }
            Text {
                objectName: "usage"
                textFormat: Text.PlainText
                text: card.vaultState.usage
                font.pixelSize: 11
                color: Theme.of(Window.window).secondary
                elide: Text.ElideRight
                width: parent.width
            }
        }
        Row {
            objectName: "fileProblem"
            visible: card.fileState !== "present"
            spacing: 4
            SymbolIcon {
                name: card.fileState === "missing" ? "exclamationmark.triangle.fill" : "externaldrive.badge.questionmark"
                size: 11; color: Theme.of(Window.window).orange
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                objectName: "fileProblemText"
                textFormat: Text.PlainText
                text: card.fileState === "missing" ? "Vault file not found" : "Waiting for disk"
                font.pixelSize: 11
                color: Theme.of(Window.window).orange
            }
            HoverHandler { id: problemHover }
            PlainToolTip { objectName: "pathTip"; visible: problemHover.hovered; text: "Last known path: " + card.vault.bundlePath }
        }
    }

    Row {
        id: controls
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 8

        Spinner {
            objectName: "busyIndicator"
            visible: card.busy
            running: card.busy
            width: 22
            height: 22
        }
        QuietButton {
            objectName: "settingsButton"
            visible: !card.busy && card.unlocked
            symbol: "gearshape"; symbolSize: 12
            ToolTip.visible: hovered; ToolTip.text: "Vault settings"
            onClicked: card.actions.vaultSettings(card.vault)
        }
        QuietButton {
            objectName: "openButton"
            visible: card.vaultState.offersOpen
            text: "Open"
            onClicked: card.actions.openInFinder(card.vault)
        }
        ProminentButton {
            objectName: "lockButton"
            visible: card.vaultState.offersLock
            text: "Lock"; symbol: "lock.fill"
            gradientStops: Theme.unlocked
            onClicked: card.actions.lock(card.vault)
        }
        ProminentButton {
            objectName: "locateButton"
            visible: card.vaultState.offersLocate
            text: "Locate Vault…"; symbol: "folder.badge.questionmark"
            onClicked: card.actions.locate(card.vault)
        }
        ProminentButton {
            objectName: "unlockButton"
            visible: card.vaultState.offersUnlock
            text: "Unlock"; symbol: "key.fill"
            onClicked: card.actions.unlock(card.vault)
        }
    }
}

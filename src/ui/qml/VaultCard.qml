import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Qt5Compat.GraphicalEffects
import org.hollowkeep

// One vault in the classic list: state tile, name with badges, capacity, and the controls for its
// state. A secondary click opens the vault's context menu.
Item {
    id: card
    required property var vault
    property var actions
    property bool hovering: hover.hovered

    readonly property string vaultId: vault.id
    readonly property bool unlocked: VaultStore.mountPoints[vaultId] !== undefined
    readonly property bool busy: VaultStore.busyVaults.indexOf(vaultId) >= 0
    // Re-read whenever the store publishes anything about the vaults.
    readonly property string fileState: { VaultStore.vaults; VaultStore.mountPoints; return VaultActions.fileState(vaultId) }
    readonly property real usedBytes: VaultStore.sizesOnDisk[vaultId] !== undefined ? VaultStore.sizesOnDisk[vaultId] : 0
    readonly property real usedFraction: usedBytes / (Math.max(vault.maxSizeMB, 1) * 1048576)
    readonly property bool nearlyFull: fileState === "present" && usedFraction >= 0.9

    implicitHeight: row.implicitHeight + 20
    Layout.fillWidth: true

    Rectangle {
        id: background
        anchors.fill: parent
        radius: 14
        color: Qt.rgba(1, 1, 1, card.hovering ? 1.0 : 0.65)
        border.width: 1
        border.color: card.unlocked ? Qt.rgba(0.16, 0.65, 0.27, 0.35) : Qt.rgba(0, 0, 0, 0.07)
        Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.OutQuad } }
        Behavior on border.color { ColorAnimation { duration: 250; easing.type: Easing.OutQuad } }
        layer.enabled: true
        layer.effect: DropShadow {
            color: Qt.rgba(0, 0, 0, card.hovering ? 0.1 : 0.05)
            radius: card.hovering ? 8 : 4
            samples: 17
            verticalOffset: 2
        }
    }

    HoverHandler { id: hover }
    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: (eventPoint) => menu.popup()
    }
    VaultContextMenu {
        id: menu
        vault: card.vault
        actions: card.actions
    }

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.topMargin: 10
        anchors.bottomMargin: 10
        spacing: 12

        IconTile {
            objectName: "stateTile"
            size: 46
            symbol: card.unlocked ? "lock.open.fill" : "lock.fill"
            gradientStops: card.unlocked ? Theme.unlocked : Theme.locked
        }

        ColumnLayout {
            spacing: 5
            Layout.fillWidth: true

            RowLayout {
                spacing: 5
                Text {
                    objectName: "name"
                    text: card.vault.name
                    font.pixelSize: 15
                    font.weight: Font.DemiBold
                    color: Theme.primary
                    elide: Text.ElideMiddle
                    maximumLineCount: 1
                    Layout.maximumWidth: 200
                }
                SymbolIcon {
                    objectName: "openBadge"
                    visible: card.unlocked
                    name: "lock.open.fill"; size: 11; color: Theme.green; font.weight: Font.DemiBold
                    ToolTip.visible: openHover.hovered; ToolTip.text: "Vault is open"
                    HoverHandler { id: openHover }
                }
                SymbolIcon {
                    objectName: "cloudBadge"
                    visible: card.vault.excludedFromCloud
                    name: "icloud.slash"; size: 11; color: Theme.secondary
                    ToolTip.visible: cloudHover.hovered; ToolTip.text: "Kept out of iCloud — never uploaded"
                    HoverHandler { id: cloudHover }
                }
                SymbolIcon {
                    objectName: "touchBadge"
                    visible: card.vault.requireTouchID
                    name: "touchid"; size: 11; color: Theme.secondary
                    ToolTip.visible: touchHover.hovered; ToolTip.text: "Touch ID required to unlock"
                    HoverHandler { id: touchHover }
                }
                GradientFill {
                    objectName: "nearlyFullBadge"
                    visible: card.nearlyFull
                    stops: card.usedFraction >= 0.95 ? Theme.critical : Theme.warning
                    implicitWidth: badgeText.implicitWidth + 12
                    implicitHeight: badgeText.implicitHeight + 4
                    radius: height / 2
                    Text {
                        id: badgeText
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

            // Status line by file state.
            ColumnLayout {
                visible: card.fileState === "present"
                spacing: 4
                CapacityBar {
                    objectName: "capacityBar"
                    fraction: card.usedFraction
                    Layout.fillWidth: true
                    Layout.maximumWidth: 170
                }
                Text {
                    objectName: "usage"
                    text: Format.usage(card.usedBytes, card.vault, card.unlocked)
                    font.pixelSize: 11
                    color: Theme.secondary
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
            RowLayout {
                objectName: "fileProblem"
                visible: card.fileState !== "present"
                spacing: 4
                SymbolIcon {
                    name: card.fileState === "missing" ? "exclamationmark.triangle.fill" : "externaldrive.badge.questionmark"
                    size: 11; color: Theme.orange
                }
                Text {
                    objectName: "fileProblemText"
                    text: card.fileState === "missing" ? "Vault file not found" : "Waiting for disk"
                    font.pixelSize: 11
                    color: Theme.orange
                }
                ToolTip.visible: problemHover.hovered; ToolTip.text: "Last known path: " + card.vault.bundlePath
                HoverHandler { id: problemHover }
            }
        }

        BusyIndicator {
            objectName: "busyIndicator"
            visible: card.busy
            running: card.busy
            implicitWidth: 22
            implicitHeight: 22
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
            visible: !card.busy && card.unlocked
            text: "Open"
            onClicked: card.actions.openInFinder(card.vault)
        }
        ProminentButton {
            objectName: "lockButton"
            visible: !card.busy && card.unlocked
            text: "Lock"; symbol: "lock.fill"
            gradientStops: Theme.unlocked
            onClicked: card.actions.lock(card.vault)
        }
        ProminentButton {
            objectName: "locateButton"
            visible: !card.busy && !card.unlocked && card.fileState === "missing"
            text: "Locate Vault…"; symbol: "folder.badge.questionmark"
            onClicked: card.actions.locate(card.vault)
        }
        ProminentButton {
            objectName: "unlockButton"
            visible: !card.busy && !card.unlocked && card.fileState !== "missing"
            text: "Unlock"; symbol: "key.fill"
            onClicked: card.actions.unlock(card.vault)
        }
    }
}

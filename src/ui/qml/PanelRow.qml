import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// One vault in the tray panel: a ring of the space it takes, its name and state, and the one or
// two things to do now. A secondary click (or the Menu key) offers the file's place and the main
// window.
Item {
    id: row
    objectName: "panelRow"
    required property var vault
    property color accent: Theme.panelAccent
    readonly property VaultState vaultState: VaultState { vault: row.vault }
    readonly property string vaultId: vaultState.vaultId
    readonly property bool present: vaultState.fileState === "present"
    // A check or a reclaim running for this vault, which the row shows and can stop.
    readonly property var work: VaultActions.stoppableWork[vaultId]
    // Red when nearly full, orange when filling up, green when unlocked, else the accent.
    readonly property color ringColor: vaultState.usedFraction >= 0.95 ? Theme.of(Window.window).red
                                       : vaultState.usedFraction >= 0.8 ? Theme.of(Window.window).orange
                                       : vaultState.unlocked ? Theme.of(Window.window).green : accent
    implicitHeight: content.implicitHeight + 10
    implicitWidth: content.implicitWidth + 12

    activeFocusOnTab: true
    readonly property bool visualFocus: activeFocus
    function openMenu(x, y) { rowMenu.popup(row, x, y) }
    // The tray's own ways to do what a state offers: a typed password is asked in a window of its own.
    readonly property var trayActions: ({
        openInFinder: (vault) => VaultActions.openInFinder(vault.id),
        lock: (vault) => VaultActions.lock(vault.id),
        locate: (vault) => VaultActions.chooseLocation(vault.id),
        unlock: (vault) => VaultActions.unlockFromTray(vault.id)
    })
    Keys.onReturnPressed: vaultState.runReturn(trayActions)
    Keys.onEnterPressed: vaultState.runReturn(trayActions)
    TapHandler { acceptedButtons: Qt.RightButton; onTapped: (point) => row.openMenu(point.position.x, point.position.y) }
    Keys.onMenuPressed: openMenu(width / 2, height / 2)
    Rectangle {
        anchors.fill: parent
        radius: 6
        color: hover.hovered ? Theme.of(Window.window).quaternaryFill : "transparent"
        HoverHandler { id: hover }
        FocusRing { control: row; cornerRadius: 6; anchors.margins: -1 }
    }

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.leftMargin: 6
        anchors.rightMargin: 6
        anchors.topMargin: 5
        anchors.bottomMargin: 5
        spacing: 8
        RingGauge {
            objectName: "ring"
            size: 18
            thickness: 3.5
            fraction: row.vaultState.usedFraction
            color: row.ringColor
            track: Qt.rgba(Theme.of(Window.window).primary.r, Theme.of(Window.window).primary.g, Theme.of(Window.window).primary.b, 0.12)
        }
        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true
            Text {
                objectName: "rowName"
                textFormat: Text.PlainText
                text: row.vault.name
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Theme.of(Window.window).primary
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Text {
                objectName: "rowStatus"
                textFormat: Text.PlainText
                text: row.work ? (row.work.operation === "verify" ? "Verifying…" : "Reclaiming space…")
                                 + (row.work.percent < 0 ? "" : " " + row.work.percent + " %")
                      : row.vaultState.waiting ? "Waiting for disk"
                      : row.vaultState.missing ? "Vault file not found"
                      : row.vaultState.caption
                font.pixelSize: 10
                color: row.present ? Theme.of(Window.window).secondary : Theme.of(Window.window).orange
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
        }
        Spinner {
            objectName: "rowBusy"
            visible: row.vaultState.busy || !!row.work
            running: visible
            implicitWidth: 16
            implicitHeight: 16
        }
        PanelIconButton {
            objectName: "rowOpen"
            visible: row.vaultState.offersOpen
            symbol: "folder"
            size: 12
            tip: "Open in File Manager"
            onClicked: VaultActions.openInFinder(row.vaultId)
        }
        MiniButton {
            objectName: "rowStop"
            visible: !!row.work
            text: "Stop"
            accent: row.accent
            onClicked: VaultActions.stop(row.vaultId)
        }
        MiniButton {
            objectName: "rowLock"
            visible: row.vaultState.offersLock
            text: "Lock"
            filled: true
            accent: row.accent
            onClicked: VaultActions.lock(row.vaultId)
        }
        MiniButton {
            objectName: "rowLocate"
            visible: row.vaultState.offersLocate
            text: "Locate"
            accent: row.accent
            onClicked: VaultActions.chooseLocation(row.vaultId)
        }
        MiniButton {
            objectName: "rowUnlock"
            visible: row.vaultState.offersUnlock
            text: "Unlock"
            accent: row.accent
            onClicked: VaultActions.unlockFromTray(row.vaultId)
        }
    }

    FittedMenu {
        id: rowMenu
        objectName: "rowMenu"
        MenuItem {
            text: "Locate Vault…"
            visible: row.vaultState.missing
            height: visible ? implicitHeight : 0
            onTriggered: VaultActions.chooseLocation(row.vaultId)
        }
        MenuItem { text: "Reveal Vault File in File Manager"; onTriggered: VaultActions.revealFile(row.vaultId) }
        MenuItem { text: "More in Hollowkeep…"; onTriggered: TrayItem.showMainWindow() }
    }
}

import QtQuick
import QtQuick.Controls
import org.hollowkeep

// The per-vault menu. Entries that do not apply are absent, not disabled.
FittedMenu {
    id: menu
    property var vault
    property var actions

    readonly property string vaultId: vault ? vault.id : ""
    property bool unlocked: false
    property string fileState: "present"
    readonly property bool maintenance: !unlocked && fileState === "present"

    // Conditions are read when the menu opens.
    function refreshState() {
        unlocked = VaultStore.mountPoints[vaultId] !== undefined
        fileState = VaultActions.fileState(vaultId)
    }
    onAboutToShow: refreshState()

    // The shown entries' texts, in order, separators as "-".
    function entryTexts() {
        const texts = []
        for (let i = 0; i < count; ++i) {
            const item = itemAt(i)
            if (!item || item.applies === false)
                continue
            texts.push(item instanceof MenuSeparator ? "-" : item.text)
        }
        return texts
    }
    function trigger(text) {
        for (let i = 0; i < count; ++i) {
            const item = itemAt(i)
            if (item && item.applies !== false && item.text === text) {
                item.triggered()
                return true
            }
        }
        return false
    }

    component Entry: MenuItem {
        property bool applies: true
        visible: applies
        height: applies ? implicitHeight : 0
    }

    Entry { text: "Locate Vault…"; applies: menu.fileState === "missing"; onTriggered: menu.actions.locate(menu.vault) }
    Entry { text: "Reveal Vault File in File Manager"; onTriggered: menu.actions.revealFile(menu.vault) }
    Entry { text: "Vault Settings…"; applies: menu.unlocked; onTriggered: menu.actions.vaultSettings(menu.vault) }
    Entry { text: "Rename…"; applies: menu.maintenance; onTriggered: menu.actions.rename(menu.vault) }
    Entry { text: "Change Password…"; applies: menu.maintenance; onTriggered: menu.actions.changePassword(menu.vault) }
    Entry { text: "Change Size Limit…"; applies: menu.maintenance; onTriggered: menu.actions.resize(menu.vault) }
    Entry { text: "Reclaim Free Space…"; applies: menu.maintenance; onTriggered: menu.actions.compact(menu.vault) }
    Entry { text: "Verify Vault…"; applies: menu.maintenance; onTriggered: menu.actions.verify(menu.vault) }
    Entry {
        text: "Keep out of cloud sync"
        applies: menu.maintenance
        checkable: true
        checked: menu.vault ? menu.vault.excludedFromCloud : false
        onTriggered: VaultActions.setCloudExclusion(menu.vaultId, checked)
    }
    MenuSeparator {}
    Entry { text: "Remove from List (keep file)"; onTriggered: menu.actions.forget(menu.vault) }
    Entry {
        id: trashEntry
        text: "Move Vault to Trash…"
        onTriggered: menu.actions.trash(menu.vault)
        // Destructive: red, and white on the highlight.
        contentItem: Text {
            textFormat: Text.PlainText
            text: trashEntry.text
            font: trashEntry.font
            color: trashEntry.highlighted ? "white" : Theme.of(Window.window).errorText
            elide: Text.ElideRight
            verticalAlignment: Text.AlignVCenter
        }
    }
}

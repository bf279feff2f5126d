import QtQuick
import org.hollowkeep

// What a view shows about one vault, from the store: unlocked, busy, the state of its file and the
// space it takes against its limit. Re-read whenever the store publishes anything about the vaults
// or something outside changed (a file moved, a disk unplugged, time passed); the properties read
// for that are cheap ones, since every row of a long list reads them.
QtObject {
    required property var vault
    readonly property string vaultId: vault ? vault.id : ""
    readonly property bool unlocked: VaultStore.mountPoints[vaultId] !== undefined
    readonly property bool busy: VaultStore.busyVaults.indexOf(vaultId) >= 0
    readonly property string fileState: { VaultStore.vaultCount; VaultStore.mountPoints; VaultActions.outsideChanges; return VaultActions.fileState(vaultId) }
    readonly property real usedBytes: { VaultStore.totalSizeOnDisk; return VaultActions.recordedSize(vaultId) }
    readonly property real usedFraction: vault ? usedBytes / (Math.max(vault.maxSizeMB, 1) * 1048576) : 0
    // The capacity caption, following the clock for "opened … ago".
    readonly property string usage: { VaultActions.outsideChanges; return vault ? Format.usage(usedBytes, vault, unlocked) : "" }
    // The conditions designs mark with chips, in the order they show them.
    readonly property var marks: {
        const found = []
        if (unlocked) found.push("open")
        if (fileState === "missing") found.push("missing")
        if (fileState === "waiting") found.push("waiting")
        if (vault && vault.excludedFromCloud) found.push("localOnly")
        if (usedFraction >= 0.5) found.push("halfFull")
        if (vault && vault.requireTouchID) found.push("authentication")
        return found
    }
    // A design's chips: its own text and colour for each mark it shows ({mark: [text, colour]}).
    function chips(styles) {
        return marks.filter(mark => styles[mark] !== undefined)
                    .map(mark => ({ text: styles[mark][0], color: styles[mark][1] }))
    }
    // The card's main button: lock an unlocked vault, locate a missing one, otherwise unlock.
    readonly property string primaryLabel: unlocked ? "Lock" : fileState === "missing" ? "Locate Vault…" : "Unlock"
    function runPrimary(actions) {
        if (unlocked)
            actions.lock(vault)
        else if (fileState === "missing")
            actions.locate(vault)
        else
            actions.unlock(vault)
    }
}

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
    readonly property bool missing: fileState === "missing"
    readonly property bool waiting: fileState === "waitingForDisk"
    // The capacity caption alone (the tray, Night Watch), and with " · opened …" for a locked vault
    // (the classic card); both follow the clock.
    readonly property string caption: { VaultActions.outsideChanges; return vault ? Format.caption(usedBytes, vault, unlocked) : "" }
    readonly property string usage: { VaultActions.outsideChanges; return vault ? Format.usage(usedBytes, vault, unlocked) : "" }
    // The conditions designs mark with chips, in the order they show them.
    readonly property var marks: {
        const found = []
        if (unlocked) found.push("open")
        if (missing) found.push("missing")
        if (waiting) found.push("waiting")
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

    // What a state offers, the same in every design, the tray and the context menu: nothing while
    // busy (a progress indicator instead); Open and Lock when unlocked; Locate when the file is
    // missing; Unlock otherwise.
    readonly property bool offersOpen: !busy && unlocked
    readonly property bool offersLock: !busy && unlocked
    readonly property bool offersLocate: !busy && !unlocked && missing
    readonly property bool offersUnlock: !busy && !unlocked && !missing
    // Return on a vault: open it when unlocked, locate it when missing, unlock it otherwise.
    // actions: the design's callbacks (openInFinder, locate, unlock, each taking the vault).
    function runReturn(actions) {
        if (offersOpen)
            actions.openInFinder(vault)
        else if (offersLocate)
            actions.locate(vault)
        else if (offersUnlock)
            actions.unlock(vault)
    }
}

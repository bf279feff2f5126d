import QtQuick
import org.hollowkeep

// What every home design shows about the whole list, from the store: counts, the space all vaults
// take, and the vaults whose name holds the search text (any case, the locale's rules).
QtObject {
    property string search
    readonly property int vaultCount: VaultStore.vaultCount
    readonly property int openCount: Object.keys(VaultStore.mountPoints).length
    readonly property int lockedCount: Math.max(vaultCount - openCount, 0)
    readonly property real totalUsed: VaultStore.totalSizeOnDisk
    readonly property var filteredVaults: {
        const needle = search.toLocaleLowerCase()
        const all = VaultStore.vaults
        return needle.length === 0 ? all : all.filter(v => v.name.toLocaleLowerCase().includes(needle))
    }
    // "3 vaults", "1 vault".
    function vaultsText(count) { return count + (count === 1 ? " vault" : " vaults") }
    // A used fraction as a whole percentage.
    function percent(fraction) { return Math.round(fraction * 100) }
}

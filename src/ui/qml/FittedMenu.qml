import QtQuick
import QtQuick.Controls

// A menu as wide as its longest entry, so that none is cut; hidden entries do not count.
Menu {
    width: {
        let widest = 200
        for (let i = 0; i < count; ++i) {
            const item = itemAt(i)
            if (item && item.visible !== false && item.applies !== false)
                widest = Math.max(widest, item.implicitWidth)
        }
        return widest + leftPadding + rightPadding
    }
}

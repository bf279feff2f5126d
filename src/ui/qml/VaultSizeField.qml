import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// "Grows up to" a number in MB or GB. A change the user makes stays inside its unit's range and is
// written to sizeMB; the size loaded is shown as it is, even outside that range, and sizeMB keeps
// it until the user changes it.
RowLayout {
    id: field
    property int sizeMB: 10240
    property int minimumMB: 16
    property int value: 10
    property bool unitGB: true
    // The loaded number while the user has not changed it: the range widens to show it.
    property int loaded: -1
    readonly property alias field: spin

    // Reads the owner's size once, when shown.
    function load(megabytes) {
        // The range widens first: the spin box would clamp what it is given.
        loaded = megabytes % 1024 === 0 ? megabytes / 1024 : megabytes
        unitGB = megabytes % 1024 === 0
        value = loaded
        sizeMB = megabytes
    }
    function push() {
        loaded = -1
        const clamped = Math.max(Rules.sizeLower(unitGB, minimumMB), Math.min(Rules.sizeUpper(unitGB, minimumMB), value))
        value = clamped
        sizeMB = Rules.sizeInMB(clamped, unitGB)
    }
    function switchUnit(toGB) {
        if (toGB === unitGB)
            return
        const converted = Rules.convertSize(value, toGB)
        unitGB = toGB
        value = converted
        push()
    }

    Text { textFormat: Text.PlainText; text: "Grows up to"; font.pixelSize: 13; color: Theme.of(Window.window).primary }
    Item { Layout.fillWidth: true }
    SpinBox {
        id: spin
        objectName: "sizeValue"
        editable: true
        from: field.loaded >= 0 ? Math.min(field.loaded, Rules.sizeLower(field.unitGB, field.minimumMB))
                                : Rules.sizeLower(field.unitGB, field.minimumMB)
        to: Math.max(field.loaded, Rules.sizeUpper(field.unitGB, field.minimumMB))
        stepSize: Rules.sizeStep(field.unitGB)
        value: field.value
        Layout.preferredWidth: 130
        onValueModified: { field.value = value; field.push() }
    }
    SegmentedControl {
        objectName: "unitPicker"
        objectNamePrefix: "unit_"
        model: ["MB", "GB"]
        currentIndex: field.unitGB ? 1 : 0
        onActivated: (index) => field.switchUnit(index === 1)
    }
}

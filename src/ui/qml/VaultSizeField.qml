import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// "Grows up to" a number in MB or GB. The number stays inside its unit's range; every accepted
// change is written to sizeMB.
RowLayout {
    id: field
    property int sizeMB: 10240
    property int minimumMB: 16
    property int value: 10
    property bool unitGB: true
    readonly property alias field: spin

    // Reads the owner's size once, when shown.
    function load(megabytes) {
        unitGB = megabytes % 1024 === 0
        value = unitGB ? megabytes / 1024 : megabytes
        push()
    }
    function push() {
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

    Text { textFormat: Text.PlainText; text: "Grows up to"; font.pixelSize: 13; color: Theme.primary }
    Item { Layout.fillWidth: true }
    SpinBox {
        id: spin
        objectName: "sizeValue"
        editable: true
        from: Rules.sizeLower(field.unitGB, field.minimumMB)
        to: Rules.sizeUpper(field.unitGB, field.minimumMB)
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

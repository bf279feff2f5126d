import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// A sheet for one vault with a header, fields, an optional status line and Cancel plus a main
// button. The operation reports through VaultActions.finished; the sheet then closes on success.
Sheet {
    id: sheet
    property var vault: null
    readonly property string vaultName: vault ? vault.name : ""
    property string buttonLabel
    property string workingLabel: "Working…"
    property var buttonGradient: Theme.accent
    property string cancelLabel: "Cancel"
    property bool canRun: false
    property bool working: false
    property string operation
    // Keychain prefill when shown; empty for none.
    property string prefillReason
    property var prefillTarget: null
    default property alias fields: group.content
    property alias status: statusLine.data
    signal run()
    signal finishedWith(bool succeeded, string text)
    sheetWidth: 420
    defaultAction: start

    onOpened: {
        working = false
        if (prefillReason.length > 0 && vault)
            VaultActions.prefillPassword(vault.id, prefillReason)
    }
    function start() {
        if (!canRun)
            return
        working = true
        run()
    }
    Connections {
        target: VaultActions
        function onPasswordPrefilled(id, reason, password) {
            if (sheet.opened && sheet.vault && id === sheet.vault.id && reason === sheet.prefillReason && sheet.prefillTarget)
                sheet.prefillTarget.text = password
        }
        function onFinished(operation, id, succeeded, text) {
            if (!sheet.vault || operation !== sheet.operation || id !== sheet.vault.id)
                return
            sheet.working = false
            sheet.finishedWith(succeeded, text)
        }
    }

    FieldGroup { id: group }
    footerContent: [
        Item {
            id: statusLine
            Layout.fillWidth: true
            implicitHeight: childrenRect.height
            visible: children.length > 0
        },
        RowLayout {
            Item { Layout.fillWidth: true }
            QuietButton { objectName: "cancelButton"; text: sheet.cancelLabel; onClicked: sheet.close() }
            ProminentButton {
                objectName: "mainButton"
                text: sheet.working ? sheet.workingLabel : sheet.buttonLabel
                gradientStops: sheet.buttonGradient
                enabled: sheet.canRun
                onClicked: sheet.start()
            }
        }
    ]
}

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
    // Long operations say how far they are while they run; -1 until the first word.
    property bool showsProgress: false
    property int progressPercent: -1
    property string progressStage
    // Long work that can stop part-way: while it runs, Cancel becomes Stop.
    property bool stoppable: false
    property bool stopping: false
    readonly property bool offersStop: stoppable && working
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
        stopping = false
        progressPercent = -1
        progressStage = ""
        run()
    }
    Connections {
        target: VaultActions
        function onPasswordPrefilled(id, reason, password) {
            if (sheet.opened && sheet.vault && id === sheet.vault.id && reason === sheet.prefillReason && sheet.prefillTarget)
                sheet.prefillTarget.text = password
        }
        function onProgress(operation, id, percent, stage) {
            if (sheet.working && sheet.vault && operation === sheet.operation && id === sheet.vault.id) {
                sheet.progressPercent = percent
                sheet.progressStage = stage
            }
        }
        function onFinished(operation, id, succeeded, text) {
            if (!sheet.vault || operation !== sheet.operation || id !== sheet.vault.id)
                return
            sheet.working = false
            sheet.finishedWith(succeeded, text)
            sheet.stopping = false
        }
    }

    FieldGroup { id: group }
    footerContent: [
        ColumnLayout {
            objectName: "operationProgress"
            visible: sheet.showsProgress && sheet.working
            spacing: 4
            Layout.fillWidth: true
            ProgressBar {
                objectName: "progressBar"
                from: 0; to: 100
                value: Math.max(0, sheet.progressPercent)
                indeterminate: sheet.progressPercent < 0
                Layout.fillWidth: true
            }
            Text {
                objectName: "progressStage"
                textFormat: Text.PlainText
                text: sheet.stopping ? "Stopping where it is safe…"
                      : sheet.progressPercent < 0 ? "Opening the vault…"
                      : sheet.progressStage + "… " + sheet.progressPercent + " %"
                font.pixelSize: 11; color: Theme.of(Window.window).secondary
                elide: Text.ElideRight; Layout.fillWidth: true
            }
        },
        Item {
            id: statusLine
            Layout.fillWidth: true
            implicitHeight: childrenRect.height
            visible: children.length > 0
        },
        RowLayout {
            Item { Layout.fillWidth: true }
            QuietButton {
                objectName: "cancelButton"
                text: sheet.offersStop ? (sheet.stopping ? "Stopping…" : "Stop") : sheet.cancelLabel
                enabled: !sheet.stopping
                onClicked: {
                    if (!sheet.offersStop) {
                        sheet.close()
                        return
                    }
                    sheet.stopping = true
                    VaultActions.stop(sheet.vault.id)
                }
            }
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

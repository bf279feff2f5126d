import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// The Soft Focus design: a pastel gradient, a greeting by the hour, friendly sentences, cards with
// ring gauges, a dashed zone for a new vault and footer chips.
Item {
    id: home
    objectName: "softFocusHome"
    property var actions
    // The clock the greeting follows; a minute's precision is enough.
    property date now: new Date()
    Timer { interval: 60000; running: true; repeat: true; onTriggered: home.now = new Date() }

    readonly property color purple: Qt.rgba(0.48, 0.25, 0.68, 1)
    readonly property color teal: Qt.rgba(0.05, 0.55, 0.60, 1)
    readonly property color amber: Qt.rgba(0.72, 0.5175, 0.10, 1)
    readonly property color ink: Qt.rgba(0.20, 0.14, 0.29, 1)
    readonly property color sub: Qt.rgba(0.42, 0.36, 0.5175, 1)
    readonly property color green: Qt.rgba(0.16, 0.62, 0.36, 1)
    readonly property HomeSummary summary: HomeSummary {}
    readonly property bool allLocalOnly: VaultStore.vaults.length > 0 && VaultStore.vaults.every(v => v.excludedFromCloud)

    function greeting(hour) {
        return hour >= 5 && hour <= 11 ? "Good morning." : hour >= 12 && hour <= 17 ? "Good afternoon." : "Good evening."
    }
    function statusLine(n, m) {
        if (n === 0)
            return "Create your first vault."
        if (m > 0)
            return m + " of " + n + (n === 1 ? " vault" : " vaults") + " open."
        return n === 1 ? "Your vault is locked and safe." : n === 2 ? "Both vaults are locked and safe."
                                                             : "All " + n + " vaults are locked and safe."
    }

    component SoftChip: Label {
        textFormat: Text.PlainText
        property color tint
        font.pixelSize: 10
        color: tint
        leftPadding: 7
        rightPadding: 7
        topPadding: 2
        bottomPadding: 2
        background: Rectangle { radius: height / 2; color: Qt.rgba(parent.tint.r, parent.tint.g, parent.tint.b, 0.14) }
    }
    component FooterChip: Label {
        textFormat: Text.PlainText
        font.pixelSize: 11
        color: home.sub
        leftPadding: 10
        rightPadding: 10
        topPadding: 4
        bottomPadding: 4
        background: Rectangle { radius: height / 2; color: Qt.rgba(1, 1, 1, 0.6); border.width: 1; border.color: Qt.rgba(1, 1, 1, 0.9) }
    }

    // The diagonal pastel wash, top left to bottom right.
    Item {
        anchors.fill: parent
        clip: true
        Rectangle {
            readonly property real side: Math.hypot(parent.width, parent.height)
            width: side
            height: side
            anchors.centerIn: parent
            rotation: -45
            gradient: Gradient {
                GradientStop { position: 0; color: Qt.rgba(0.95, 0.92, 0.97, 1) }
                GradientStop { position: 0.5; color: Qt.rgba(0.90, 0.94, 0.96, 1) }
                GradientStop { position: 1; color: Qt.rgba(0.96, 0.93, 0.87, 1) }
            }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 30
        anchors.rightMargin: 30
        anchors.topMargin: 22
        anchors.bottomMargin: 16
        spacing: 16

        RowLayout {
            spacing: 14
            Layout.fillWidth: true
            AppIconImage { size: 54 }
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                Text { textFormat: Text.PlainText; objectName: "greeting"; text: home.greeting(home.now.getHours()); font.pixelSize: 24; font.bold: true; color: home.ink }
                Text {
                    objectName: "statusLine"
                    textFormat: Text.PlainText
                    text: home.statusLine(home.summary.vaultCount, home.summary.openCount)
                    font.pixelSize: 12
                    color: home.sub
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
            ProminentButton {
                text: "+ New Vault"
                gradientStops: [home.purple, home.teal]
                onClicked: home.actions.newVault()
            }
            AppMenuButton { color: home.sub }
        }

        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            ColumnLayout {
                width: scroll.availableWidth
                spacing: 14
                Repeater {
                    model: VaultStore.vaults
                    delegate: Item {
                        id: card
                        objectName: "softCard"
                        required property var modelData
                        required property int index
                        readonly property VaultState state: VaultState { vault: card.modelData }
                        readonly property color positionColor: index % 2 === 0 ? home.purple : home.teal
                        readonly property var chips: state.chips({
                            open: ["open", home.green], missing: ["file missing", home.amber],
                            waiting: ["waiting for disk", home.amber], localOnly: ["local only", home.sub],
                            halfFull: ["getting full", home.amber], authentication: ["authentication", home.sub] })
                        readonly property string meta: state.missing ? "Vault file not found — locate it to keep unlocking."
                            : state.waiting ? "Waiting for the disk that holds this vault."
                            : state.caption + (isNaN(modelData.lastOpenedAt) ? "" : " · opened " + Format.relative(modelData.lastOpenedAt))
                        Layout.fillWidth: true
                        implicitHeight: cardRow.implicitHeight + 32
                        activeFocusOnTab: true
                        readonly property bool visualFocus: activeFocus
                        Keys.onMenuPressed: menu.popup()
                        Keys.onReturnPressed: card.state.runReturn(home.actions)
                        Keys.onEnterPressed: card.state.runReturn(home.actions)
                        Shadow { anchors.fill: parent; radius: 20; strength: 0.1; spread: 6; offsetY: 4; tint: Qt.rgba(0.31, 0.24, 0.47, 1) }
                        Rectangle {
                            anchors.fill: parent
                            radius: 20
                            color: Qt.rgba(1, 1, 1, 0.65)
                            border.width: 1
                            border.color: Qt.rgba(1, 1, 1, 0.9)
                            FocusRing { control: card; cornerRadius: 20 }
                        }
                        TapHandler { acceptedButtons: Qt.RightButton; onTapped: menu.popup() }
                        VaultContextMenu { id: menu; vault: card.modelData; actions: home.actions }
                        RowLayout {
                            id: cardRow
                            x: 20
                            y: 16
                            width: parent.width - 40
                            spacing: 18
                            RingGauge {
                                size: 56
                                thickness: 7
                                fraction: card.state.usedFraction
                                color: card.state.unlocked ? home.green : card.positionColor
                                track: Qt.rgba(card.positionColor.r, card.positionColor.g, card.positionColor.b, 0.15)
                                Column {
                                    anchors.centerIn: parent
                                    Text { textFormat: Text.PlainText; text: home.summary.percent(card.state.usedFraction) + "%"; font.pixelSize: 11; font.bold: true; color: home.ink; anchors.horizontalCenter: parent.horizontalCenter }
                                    Text { textFormat: Text.PlainText; text: "FULL"; font.pixelSize: 7; color: home.sub; anchors.horizontalCenter: parent.horizontalCenter }
                                }
                            }
                            ColumnLayout {
                                spacing: 4
                                Layout.fillWidth: true
                                Text { textFormat: Text.PlainText; text: card.modelData.name; font.pixelSize: 16; font.bold: true; color: home.ink; elide: Text.ElideRight; Layout.fillWidth: true }
                                Flow {
                                    spacing: 5
                                    visible: card.chips.length > 0
                                    Layout.fillWidth: true
                                    Repeater {
                                        model: card.chips
                                        delegate: SoftChip { required property var modelData; objectName: "softChip"; text: modelData.text; tint: modelData.color }
                                    }
                                }
                                Text { textFormat: Text.PlainText; objectName: "metaLine"; text: card.meta; font.pixelSize: 11; color: home.sub; wrapMode: Text.Wrap; Layout.fillWidth: true }
                            }
                            Spinner { visible: card.state.busy }
                            QuietButton { visible: card.state.offersOpen; text: "Open"; onClicked: home.actions.openInFinder(card.modelData) }
                            Repeater {
                                // One prominent button: Lock, Locate Vault… or Unlock, as the state offers.
                                model: [{ shown: card.state.offersLock, text: "Lock", run: home.actions.lock },
                                        { shown: card.state.offersLocate, text: "Locate Vault…", run: home.actions.locate },
                                        { shown: card.state.offersUnlock, text: "Unlock", run: home.actions.unlock }]
                                delegate: ProminentButton {
                                    required property var modelData
                                    visible: modelData.shown
                                    text: modelData.text
                                    gradientStops: [card.positionColor, Qt.darker(card.positionColor, 1.2)]
                                    onClicked: modelData.run(card.modelData)
                                }
                            }
                            PanelIconButton {
                                symbol: "ellipsis"
                                tip: "More"
                                size: 18
                                color: home.sub
                                onClicked: menu.popup(this, 0, height)
                            }
                        }
                    }
                }
                // The dashed zone that starts a new vault.
                Item {
                    objectName: "newVaultZone"
                    Layout.fillWidth: true
                    implicitHeight: 64
                    Canvas {
                        anchors.fill: parent
                        onPaint: {
                            const context = getContext("2d")
                            context.clearRect(0, 0, width, height)
                            context.setLineDash([6, 5])
                            context.lineWidth = 1.5
                            context.strokeStyle = Qt.rgba(home.purple.r, home.purple.g, home.purple.b, 0.45)
                            context.beginPath()
                            context.roundedRect(1, 1, width - 2, height - 2, 20, 20)
                            context.stroke()
                        }
                        onWidthChanged: requestPaint()
                    }
                    Row {
                        anchors.centerIn: parent
                        spacing: 8
                        SymbolIcon { name: "plus"; size: 18; color: home.purple; anchors.verticalCenter: parent.verticalCenter }
                        Text { textFormat: Text.PlainText; text: "Start a new vault"; font.pixelSize: 13; color: home.purple; anchors.verticalCenter: parent.verticalCenter }
                    }
                    TapHandler { onTapped: home.actions.newVault() }
                    HoverHandler { cursorShape: Qt.PointingHandCursor }
                }
            }
        }

        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            FooterChip { objectName: "openChip"; text: home.summary.openCount > 0 ? "🔓 " + home.summary.openCount + " open" : "🔒 all locked" }
            FooterChip { text: Format.bytes(home.summary.totalUsed) + " on disk" }
            FooterChip { objectName: "cloudChip"; visible: home.allLocalOnly; text: "Cloud sync off" }
            Item { Layout.fillWidth: true }
            QuietButton {
                objectName: "lockAllNow"
                text: "Lock all now"
                textColor: home.ink
                opacity: home.summary.openCount > 0 ? 1 : 0.4
                onClicked: home.actions.lockAll()
            }
        }
    }
}

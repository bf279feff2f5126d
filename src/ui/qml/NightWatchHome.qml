import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// The Night Watch design: a dark dashboard with a command bar to search (Ctrl+K), vault cards with
// mono chips and ring gauges, and the latest activity.
Item {
    id: home
    objectName: "nightWatchHome"
    property var actions

    readonly property color bg: Qt.rgba(0.10, 0.10, 0.13, 1)
    readonly property color card: Qt.rgba(0.137, 0.137, 0.176, 1)
    readonly property color cardBorder: Qt.rgba(0.21, 0.21, 0.26, 1)
    readonly property color logBG: Qt.rgba(0.082, 0.082, 0.106, 1)
    readonly property color green: Qt.rgba(0.34, 0.85, 0.64, 1)
    readonly property color amber: Qt.rgba(0.85, 0.66, 0.25, 1)
    readonly property color dim: Qt.rgba(0.58, 0.59, 0.65, 1)
    readonly property color red: Qt.rgba(0.95, 0.35, 0.33, 1)
    readonly property HomeSummary summary: HomeSummary { search: searchField.text }
    readonly property string headline: summary.openCount > 0 ? summary.openCount + " open." : "All quiet."
    readonly property var recentActivity: VaultStore.activity.slice(0, 4)

    component MonoChip: Label {
        textFormat: Text.PlainText
        property color tint
        font.pixelSize: 10
        font.family: "monospace"
        font.capitalization: Font.AllUppercase
        color: tint
        leftPadding: 6
        rightPadding: 6
        topPadding: 2
        bottomPadding: 2
        background: Rectangle {
            radius: 4
            color: "transparent"
            border.width: 1
            border.color: Qt.rgba(parent.tint.r, parent.tint.g, parent.tint.b, 0.4)
        }
    }
    component DarkButton: QuietButton {
        textColor: "#e8e8ee"
        background: Rectangle {
            implicitHeight: 28
            radius: 7
            color: parent.down ? Qt.rgba(1, 1, 1, 0.16) : Qt.rgba(1, 1, 1, 0.08)
            border.width: 1
            border.color: home.cardBorder
            FocusRing { control: parent.parent; cornerRadius: 7 }
        }
    }

    Shortcut { sequence: "Ctrl+K"; onActivated: searchField.forceActiveFocus() }
    Rectangle { anchors.fill: parent; color: home.bg }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 18
        spacing: 14

        Text { textFormat: Text.PlainText; text: "HOLLOWKEEP"; font.pixelSize: 11; font.letterSpacing: 2; color: home.dim; Layout.alignment: Qt.AlignHCenter }

        RowLayout {
            spacing: 14
            Layout.fillWidth: true
            AppIconImage { size: 48 }
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                Text { textFormat: Text.PlainText; objectName: "headline"; text: home.headline; font.pixelSize: 22; font.bold: true; color: "#f2f2f5" }
                Text {
                    objectName: "subLine"
                    textFormat: Text.PlainText
                    text: "● " + home.summary.lockedCount + "/" + home.summary.vaultCount + " vaults locked · "
                          + Format.bytes(home.summary.totalUsed) + " on disk"
                    font.pixelSize: 12
                    color: home.dim
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
            DarkButton { text: "Lock All"; symbol: ""; onClicked: home.actions.lockAll() }
            ProminentButton {
                text: "+ New Vault"
                gradientStops: [home.green, Qt.darker(home.green, 1.35)]
                onClicked: home.actions.newVault()
            }
            AppMenuButton { color: home.dim }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 36
            radius: 8
            color: home.card
            border.width: 1
            border.color: searchField.activeFocus ? home.green : home.cardBorder
            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 12
                spacing: 8
                Text { textFormat: Text.PlainText; text: ">"; font.family: "monospace"; font.pixelSize: 14; color: home.green }
                TextField {
                    id: searchField
                    objectName: "searchField"
                    placeholderText: "type to search…"
                    placeholderTextColor: home.dim
                    color: "#f2f2f5"
                    font.family: "monospace"
                    background: null
                    Layout.fillWidth: true
                }
                Text { textFormat: Text.PlainText; text: "Ctrl+K"; font.pixelSize: 11; font.family: "monospace"; color: home.dim }
            }
        }

        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            ColumnLayout {
                width: scroll.availableWidth
                spacing: 10
                ColumnLayout {
                    objectName: "emptyState"
                    visible: home.summary.vaultCount === 0
                    spacing: 4
                    Layout.fillWidth: true
                    Layout.topMargin: 40
                    Text { textFormat: Text.PlainText; text: "No vaults on watch."; font.pixelSize: 16; color: "#f2f2f5"; horizontalAlignment: Text.AlignHCenter; Layout.fillWidth: true }
                    Text { textFormat: Text.PlainText; text: "create one to start guarding files"; font.pixelSize: 12; color: home.dim; horizontalAlignment: Text.AlignHCenter; Layout.fillWidth: true }
                }
                Repeater {
                    model: home.summary.filteredVaults
                    delegate: Rectangle {
                        id: vaultCard
                        objectName: "watchCard"
                        required property var modelData
                        readonly property VaultState state: VaultState { vault: vaultCard.modelData }
                        readonly property int percent: home.summary.percent(state.usedFraction)
                        readonly property var chips: state.chips({
                            open: ["open", home.green], missing: ["file missing", home.amber],
                            waiting: ["waiting for disk", home.amber], localOnly: ["local only", home.dim],
                            halfFull: [percent + "% full", home.amber], authentication: ["authentication", home.dim] })
                        readonly property string meta: state.missing ? "vault file not found"
                            : state.waiting ? "waiting for disk"
                            : [state.caption,
                               isNaN(modelData.lastOpenedAt) ? "" : "last open " + Format.relative(modelData.lastOpenedAt),
                               Preferences.autoLockEnabled ? "auto-lock " + Preferences.autoLockMinutes + " min" : ""]
                              .filter(part => part.length > 0).join(" · ")
                        Layout.fillWidth: true
                        implicitHeight: cardRow.implicitHeight + 24
                        radius: 12
                        color: home.card
                        border.width: 1
                        border.color: activeFocus ? Theme.of(Window.window).focusRing : home.cardBorder
                        activeFocusOnTab: true
                        Keys.onMenuPressed: menu.popup()
                        Keys.onReturnPressed: vaultCard.state.runReturn(home.actions)
                        Keys.onEnterPressed: vaultCard.state.runReturn(home.actions)
                        TapHandler { acceptedButtons: Qt.RightButton; onTapped: menu.popup() }
                        VaultContextMenu { id: menu; vault: vaultCard.modelData; actions: home.actions }
                        RowLayout {
                            id: cardRow
                            x: 14
                            y: 12
                            width: parent.width - 28
                            spacing: 14
                            RingGauge {
                                size: 52
                                thickness: 6
                                fraction: vaultCard.state.usedFraction
                                readonly property color tone: vaultCard.state.usedFraction >= 0.9 ? home.red
                                                            : vaultCard.state.usedFraction >= 0.5 ? home.amber : home.green
                                color: tone
                                track: Qt.rgba(tone.r, tone.g, tone.b, 0.25)
                                Text { textFormat: Text.PlainText; anchors.centerIn: parent; text: vaultCard.percent + "%"; font.pixelSize: 10; color: "#f2f2f5" }
                            }
                            ColumnLayout {
                                spacing: 5
                                Layout.fillWidth: true
                                Text { textFormat: Text.PlainText; text: vaultCard.modelData.name; font.pixelSize: 16; color: "#f2f2f5"; elide: Text.ElideRight; Layout.fillWidth: true }
                                Flow {
                                    spacing: 5
                                    visible: vaultCard.chips.length > 0
                                    Layout.fillWidth: true
                                    Repeater {
                                        model: vaultCard.chips
                                        delegate: MonoChip { required property var modelData; objectName: "monoChip"; text: modelData.text; tint: modelData.color }
                                    }
                                }
                                Text { textFormat: Text.PlainText; objectName: "metaLine"; text: vaultCard.meta; font.pixelSize: 11; color: home.dim; elide: Text.ElideRight; Layout.fillWidth: true }
                            }
                            Spinner { visible: vaultCard.state.busy }
                            DarkButton { visible: vaultCard.state.offersOpen; text: "Open"; onClicked: home.actions.openInFinder(vaultCard.modelData) }
                            DarkButton { visible: vaultCard.state.offersLock; text: "Lock"; onClicked: home.actions.lock(vaultCard.modelData) }
                            DarkButton { visible: vaultCard.state.offersLocate; text: "Locate Vault…"; onClicked: home.actions.locate(vaultCard.modelData) }
                            DarkButton { visible: vaultCard.state.offersUnlock; text: "Unlock"; onClicked: home.actions.unlock(vaultCard.modelData) }
                            PanelIconButton { symbol: "ellipsis"; tip: "More"; size: 18; color: home.dim; onClicked: menu.popup(this, 0, height) }
                        }
                    }
                }
            }
        }

        Rectangle {
            objectName: "activityPanel"
            Layout.fillWidth: true
            implicitHeight: activityColumn.implicitHeight + 20
            radius: 10
            color: home.logBG
            ColumnLayout {
                id: activityColumn
                x: 12
                y: 10
                width: parent.width - 24
                spacing: 3
                Text { textFormat: Text.PlainText; text: "ACTIVITY"; font.pixelSize: 9; font.weight: Font.DemiBold; font.letterSpacing: 1.5; color: home.dim }
                Repeater {
                    model: home.recentActivity
                    delegate: Text {
                        textFormat: Text.PlainText
                        required property var modelData
                        objectName: "activityEntry"
                        text: Qt.formatTime(modelData.date, Locale.ShortFormat) + " · " + modelData.text
                        font.pixelSize: 11
                        font.family: "monospace"
                        color: "#c9c9d2"
                        elide: Text.ElideRight
                        Layout.fillWidth: true
                    }
                }
            }
        }
    }
}

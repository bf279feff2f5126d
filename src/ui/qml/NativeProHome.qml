import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import org.hollowkeep

// The Native Pro design: a sidebar with search, the vaults and a summary, and a detail pane for
// the selected vault. Up and Down move the selection; every row has the vault's menu.
Item {
    id: home
    objectName: "nativeProHome"
    property var actions
    // View state: lost when the design changes.
    property string selectedId

    readonly property color accent: Qt.rgba(0.02, 0.48, 0.55, 1)
    readonly property color sidebarBG: Qt.rgba(0.925, 0.918, 0.906, 1)
    readonly property color paneBG: Qt.rgba(0.961, 0.957, 0.949, 1)
    readonly property HomeSummary summary: HomeSummary { search: searchField.text }
    // The chosen vault while it is listed; otherwise the first one the search shows.
    readonly property var selectedVault: {
        const chosen = VaultStore.vaults.find(v => v.id === selectedId)
        const shown = summary.filteredVaults
        return chosen !== undefined ? chosen : (shown.length > 0 ? shown[0] : null)
    }
    readonly property VaultState selected: VaultState { vault: home.selectedVault }
    readonly property string statusSentence: !selectedVault ? ""
        : selectedVault.name + (selected.unlocked ? " is open" : " is locked")
          + (isNaN(selectedVault.lastOpenedAt) ? "." : ". Last opened " + Format.relative(selectedVault.lastOpenedAt) + ".")
    readonly property var chips: selected.chips({
        waiting: ["Waiting for disk", Theme.of(Window.window).orange], missing: ["File missing", Theme.of(Window.window).orange],
        localOnly: ["Local only", accent], authentication: ["Authentication", accent] })

    function select(step) {
        const shown = summary.filteredVaults
        const at = shown.findIndex(v => selectedVault && v.id === selectedVault.id)
        const next = Math.max(0, Math.min(shown.length - 1, at + step))
        if (shown.length > 0)
            selectedId = shown[next].id
    }

    component Chip: Label {
        textFormat: Text.PlainText
        property color tint
        font.pixelSize: 11
        color: tint
        leftPadding: 8
        rightPadding: 8
        topPadding: 2
        bottomPadding: 2
        background: Rectangle { radius: height / 2; color: Qt.rgba(parent.tint.r, parent.tint.g, parent.tint.b, 0.14) }
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            color: home.sidebarBG
            Layout.preferredWidth: 240
            Layout.fillHeight: true
            ColumnLayout {
                anchors.fill: parent
                anchors.margins: 14
                spacing: 10
                RowLayout {
                    Layout.fillWidth: true
                    Text { textFormat: Text.PlainText; text: "Hollowkeep"; font.pixelSize: 14; font.bold: true; color: Theme.of(Window.window).primary; Layout.fillWidth: true }
                    AppMenuButton { size: 14 }
                }
                TextField {
                    id: searchField
                    objectName: "searchField"
                    placeholderText: "Search vaults"
                    leftPadding: 28
                    Layout.fillWidth: true
                    Keys.onDownPressed: list.forceActiveFocus()
                    SymbolIcon {
                        name: "magnifyingglass"
                        color: Theme.of(Window.window).secondary
                        size: 15
                        x: 8
                        anchors.verticalCenter: parent.verticalCenter
                    }
                }
                Text {
                    textFormat: Text.PlainText
                    text: "VAULTS"
                    font.pixelSize: 10
                    font.weight: Font.DemiBold
                    font.letterSpacing: 1
                    color: Theme.of(Window.window).secondary
                }
                ListView {
                    id: list
                    objectName: "vaultList"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    clip: true
                    spacing: 2
                    activeFocusOnTab: true
                    model: home.summary.filteredVaults
                    Keys.onUpPressed: home.select(-1)
                    Keys.onDownPressed: home.select(1)
                    Keys.onMenuPressed: if (currentItem) currentItem.openMenu()
                    currentIndex: home.summary.filteredVaults.findIndex(v => home.selectedVault && v.id === home.selectedVault.id)
                    delegate: Rectangle {
                        id: row
                        objectName: "vaultRow"
                        required property var modelData
                        readonly property VaultState state: VaultState { vault: row.modelData }
                        readonly property bool chosen: home.selectedVault !== null && home.selectedVault.id === modelData.id
                        width: ListView.view.width
                        implicitHeight: rowContent.implicitHeight + 14
                        radius: 7
                        color: chosen ? Qt.rgba(home.accent.r, home.accent.g, home.accent.b, 0.16) : "transparent"
                        border.width: chosen && list.activeFocus ? 2 : 0
                        border.color: Theme.of(Window.window).focusRing
                        function openMenu() { menu.popup() }
                        RowLayout {
                            id: rowContent
                            anchors.fill: parent
                            anchors.leftMargin: 8
                            anchors.rightMargin: 8
                            spacing: 8
                            Rectangle {
                                implicitWidth: 8
                                implicitHeight: 8
                                radius: 4
                                color: row.state.unlocked ? Theme.of(Window.window).green : Qt.rgba(0, 0, 0, 0.12)
                            }
                            ColumnLayout {
                                spacing: 0
                                Layout.fillWidth: true
                                Text {
                                    textFormat: Text.PlainText
                                    text: row.modelData.name
                                    font.pixelSize: 13
                                    font.weight: Font.Medium
                                    color: Theme.of(Window.window).primary
                                    elide: Text.ElideRight
                                    Layout.fillWidth: true
                                }
                                Text { textFormat: Text.PlainText; text: Format.bytes(row.state.usedBytes); font.pixelSize: 11; color: Theme.of(Window.window).secondary }
                            }
                        }
                        TapHandler { onTapped: { home.selectedId = row.modelData.id; list.forceActiveFocus() } }
                        TapHandler { acceptedButtons: Qt.RightButton; onTapped: menu.popup() }
                        VaultContextMenu { id: menu; vault: row.modelData; actions: home.actions }
                    }
                }
                Rectangle {
                    objectName: "summaryCard"
                    Layout.fillWidth: true
                    implicitHeight: summaryColumn.implicitHeight + 20
                    radius: 10
                    color: Qt.rgba(1, 1, 1, 0.6)
                    border.width: 1
                    border.color: Theme.of(Window.window).groupBorder
                    ColumnLayout {
                        id: summaryColumn
                        x: 10
                        y: 10
                        width: parent.width - 20
                        spacing: 2
                        Text {
                            objectName: "summaryLine"
                            textFormat: Text.PlainText
                            text: home.summary.vaultCount === 0 ? "No vaults yet"
                                : home.summary.vaultsText(home.summary.vaultCount) + " · "
                                  + (home.summary.openCount > 0 ? home.summary.openCount + " open" : "all locked")
                            font.pixelSize: 12
                            font.weight: Font.Medium
                            color: Theme.of(Window.window).primary
                        }
                        RowLayout {
                            visible: home.summary.vaultCount > 0
                            Text { textFormat: Text.PlainText; text: "On disk"; font.pixelSize: 11; color: Theme.of(Window.window).secondary; Layout.fillWidth: true }
                            Text { textFormat: Text.PlainText; text: Format.bytes(home.summary.totalUsed); font.pixelSize: 11; color: Theme.of(Window.window).secondary }
                        }
                    }
                }
                ProminentButton {
                    objectName: "newVaultButton"
                    text: "New Vault"
                    symbol: "plus"
                    gradientStops: [home.accent, Qt.darker(home.accent, 1.25)]
                    Layout.fillWidth: true
                    onClicked: home.actions.newVault()
                }
            }
        }
        Rectangle { implicitWidth: 1; color: Theme.of(Window.window).separator; Layout.fillHeight: true }

        Rectangle {
            color: home.paneBG
            Layout.fillWidth: true
            Layout.fillHeight: true

            ColumnLayout {
                objectName: "emptyState"
                visible: home.summary.vaultCount === 0
                anchors.centerIn: parent
                width: Math.min(parent.width - 60, 360)
                spacing: 14
                AppIconImage { size: 84; Layout.alignment: Qt.AlignHCenter }
                Text { textFormat: Text.PlainText; text: "No vaults yet"; font.pixelSize: 20; font.bold: true; color: Theme.of(Window.window).primary; Layout.alignment: Qt.AlignHCenter }
                Text {
                    textFormat: Text.PlainText
                    text: "A vault is an encrypted folder that grows to a limit you set."
                    font.pixelSize: 13
                    color: Theme.of(Window.window).secondary
                    wrapMode: Text.Wrap
                    horizontalAlignment: Text.AlignHCenter
                    Layout.fillWidth: true
                }
                ProminentButton {
                    text: "Create Your First Vault"
                    gradientStops: [home.accent, Qt.darker(home.accent, 1.25)]
                    Layout.alignment: Qt.AlignHCenter
                    onClicked: home.actions.newVault()
                }
            }

            ColumnLayout {
                objectName: "detail"
                visible: home.selectedVault !== null
                anchors.fill: parent
                anchors.margins: 24
                spacing: 14
                RowLayout {
                    spacing: 12
                    Layout.fillWidth: true
                    ColumnLayout {
                        spacing: 4
                        Layout.fillWidth: true
                        Text {
                            objectName: "detailName"
                            textFormat: Text.PlainText
                            text: home.selectedVault ? home.selectedVault.name : ""
                            font.pixelSize: 20
                            font.bold: true
                            color: Theme.of(Window.window).primary
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                        Text {
                            objectName: "statusSentence"
                            textFormat: Text.PlainText
                            text: home.statusSentence
                            font.pixelSize: 12
                            color: Theme.of(Window.window).secondary
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    // The vault's settings sheet works on an unlocked vault.
                    QuietButton {
                        visible: home.selected.unlocked
                        text: "Settings"
                        symbol: "gearshape"
                        Layout.alignment: Qt.AlignTop
                        onClicked: home.actions.vaultSettings(home.selectedVault)
                    }
                }
                Flow {
                    spacing: 6
                    visible: home.chips.length > 0
                    Layout.fillWidth: true
                    Repeater {
                        model: home.chips
                        delegate: Chip { required property var modelData; objectName: "chip"; text: modelData.text; tint: modelData.color }
                    }
                }
                RowLayout {
                    spacing: 12
                    SymbolIcon {
                        name: home.selected.unlocked ? "lock.open.fill" : "lock.fill"
                        size: 20
                        color: home.selected.unlocked ? Theme.of(Window.window).green : home.accent
                    }
                    ColumnLayout {
                        spacing: 0
                        Text { textFormat: Text.PlainText; objectName: "usedSize"; text: Format.bytes(home.selected.usedBytes); font.pixelSize: 13; font.weight: Font.DemiBold; color: Theme.of(Window.window).primary }
                        Text { textFormat: Text.PlainText; text: home.selectedVault ? "of " + Format.limit(home.selectedVault.maxSizeMB) : ""; font.pixelSize: 10; color: Theme.of(Window.window).secondary }
                    }
                }
                RowLayout {
                    objectName: "actionRow"
                    spacing: 8
                    readonly property bool present: home.selected.fileState === "present"
                    Spinner { visible: home.selected.busy }
                    QuietButton {
                        visible: home.selected.offersOpen
                        text: "Open in File Manager"
                        onClicked: home.actions.openInFinder(home.selectedVault)
                    }
                    ProminentButton {
                        visible: home.selected.offersLock
                        text: "Lock"
                        symbol: "lock.fill"
                        gradientStops: [home.accent, Qt.darker(home.accent, 1.25)]
                        onClicked: home.actions.lock(home.selectedVault)
                    }
                    ProminentButton {
                        visible: home.selected.offersLocate
                        text: "Locate Vault…"
                        symbol: "folder.badge.questionmark"
                        gradientStops: [home.accent, Qt.darker(home.accent, 1.25)]
                        onClicked: home.actions.locate(home.selectedVault)
                    }
                    ProminentButton {
                        objectName: "unlockButton"
                        visible: home.selected.offersUnlock
                        text: home.selectedVault && home.selectedVault.requireTouchID ? "Unlock with authentication" : "Unlock…"
                        symbol: home.selectedVault && home.selectedVault.requireTouchID ? "touchid" : "key.fill"
                        gradientStops: [home.accent, Qt.darker(home.accent, 1.25)]
                        onClicked: home.actions.unlock(home.selectedVault)
                    }
                    QuietButton {
                        visible: home.selected.offersUnlock && parent.present
                        text: "Use password…"
                        onClicked: home.actions.usePassword(home.selectedVault)
                    }
                }
                Item { Layout.fillHeight: true }
                Rectangle { implicitHeight: 1; color: Theme.of(Window.window).separator; Layout.fillWidth: true }
                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        objectName: "autoLockLine"
                        textFormat: Text.PlainText
                        text: Preferences.autoLockEnabled ? "Auto-locks " + Preferences.autoLockMinutes + " min after last use"
                                                          : "Auto-lock is off"
                        font.pixelSize: 11
                        color: Theme.of(Window.window).secondary
                        Layout.fillWidth: true
                    }
                    QuietButton { text: "Lock All"; symbol: "lock.fill"; onClicked: home.actions.lockAll() }
                }
            }
        }
    }
}

import QtQuick

// The colours that differ between light and dark, for one of the two.
QtObject {
    required property bool dark

    readonly property color windowBackground: dark ? "#1c1c1e" : "#f5f5f7"
    readonly property color underPageBackground: dark ? "#121214" : "#e8e8ed"
    readonly property color controlBackground: dark ? "#2c2c2e" : "#ffffff"
    readonly property color sheetBackground: dark ? "#262628" : "#fbfbfd"
    readonly property color groupBackground: dark ? Qt.rgba(1, 1, 1, 0.05) : Qt.rgba(1, 1, 1, 0.6)
    readonly property color groupBorder: dark ? Qt.rgba(1, 1, 1, 0.09) : Qt.rgba(0, 0, 0, 0.07)
    readonly property color cardBackground: dark ? Qt.rgba(1, 1, 1, 0.06) : Qt.rgba(1, 1, 1, 0.65)
    readonly property color cardHoverBackground: dark ? Qt.rgba(1, 1, 1, 0.10) : Qt.rgba(1, 1, 1, 1.0)
    readonly property color separator: dark ? Qt.rgba(1, 1, 1, 0.14) : Qt.rgba(0, 0, 0, 0.1)
    readonly property color primary: dark ? "#f5f5f7" : "#1d1d1f"
    readonly property color secondary: dark ? "#a1a1a6" : "#6e6e73"
    readonly property color placeholder: dark ? "#7c7c80" : "#8e8e93"
    readonly property color quaternaryFill: dark ? Qt.rgba(0.92, 0.92, 0.96, 0.16) : Qt.rgba(0.455, 0.455, 0.502, 0.16)
    readonly property color green: dark ? "#30d158" : "#28a745"
    readonly property color orange: dark ? "#ff9f0a" : "#f08a00"
    readonly property color errorText: dark ? "#ff6961" : "#d70015"
    readonly property color focusRing: dark ? "#6e9bff" : "#2f62f0"
    readonly property color selection: dark ? "#3a5bd0" : "#b3cbff"
    readonly property color red: dark ? "#ff453a" : "#e5393a"
}

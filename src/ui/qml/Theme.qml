pragma Singleton
import QtQuick
import org.hollowkeep

// The shared look: five two-stop gradients (top-leading to bottom-trailing) and the designs.
QtObject {
    readonly property var accent: [Qt.rgba(0.29, 0.44, 0.98, 1), Qt.rgba(0.45, 0.29, 0.92, 1)]
    readonly property var unlocked: [Qt.rgba(0.16, 0.72, 0.45, 1), Qt.rgba(0.10, 0.55, 0.55, 1)]
    readonly property var locked: [Qt.rgba(0.45, 0.45, 0.45, 1), Qt.rgba(0.28, 0.28, 0.28, 1)]
    readonly property var warning: [Qt.rgba(1.0, 0.584, 0.0, 1), Qt.rgba(0.90, 0.45, 0.10, 1)]
    readonly property var critical: [Qt.rgba(0.95, 0.35, 0.30, 1), Qt.rgba(0.80, 0.15, 0.25, 1)]

    // The home designs, in their order: raw value (stored under appTheme) and display name.
    readonly property var designs: [
        { raw: "classic", name: "Classic" },
        { raw: "nativePro", name: "Native Pro" },
        { raw: "nightWatch", name: "Night Watch" },
        { raw: "softFocus", name: "Soft Focus" }
    ]
    // Exact, case-sensitive match; anything else is the classic design.
    function design(raw) {
        for (const d of designs)
            if (d.raw === raw)
                return d.raw
        return "classic"
    }
    // Minimum size, applied size and forced colour scheme of each design.
    readonly property var windowConstants: ({
        classic: { minimumWidth: 460, minimumHeight: 380, width: 500, height: 460, scheme: "" },
        nativePro: { minimumWidth: 700, minimumHeight: 440, width: 760, height: 520, scheme: "light" },
        nightWatch: { minimumWidth: 640, minimumHeight: 500, width: 700, height: 600, scheme: "dark" },
        softFocus: { minimumWidth: 620, minimumHeight: 480, width: 700, height: 560, scheme: "light" }
    })

    // The tray panel's accent, by design.
    readonly property var panelAccents: ({
        classic: Qt.rgba(0.35, 0.38, 0.95, 1),
        nativePro: Qt.rgba(0.02, 0.48, 0.55, 1),
        nightWatch: Qt.rgba(0.24, 0.72, 0.5175, 1),
        softFocus: Qt.rgba(0.48, 0.25, 0.68, 1)
    })
    readonly property color panelAccent: panelAccents[design(Preferences.appTheme)]
    readonly property color red: dark ? "#ff453a" : "#e5393a"

    // The classic design follows the desktop's colour scheme; the others fix their own.
    readonly property string scheme: windowConstants[design(Preferences.appTheme)].scheme
    readonly property bool dark: scheme === "dark" || (scheme === "" && ColorScheme.prefersDark)

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
}

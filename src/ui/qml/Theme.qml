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

    // The classic design follows the desktop's colour scheme; the others fix their own.
    readonly property string scheme: windowConstants[design(Preferences.appTheme)].scheme
    readonly property bool dark: scheme === "dark" || (scheme === "" && ColorScheme.prefersDark)

    // Light and dark; a window picks one (see of()).
    readonly property QtObject lightTones: Tones { dark: false }
    readonly property QtObject darkTones: Tones { dark: true }
    readonly property QtObject tones: dark ? darkTones : lightTones
    // The colours of a window: the main window and the tray panel take the design's scheme, the
    // other windows the desktop's (they set schemeDark). Items pass Window.window.
    function of(window) {
        return (window && window.schemeDark !== undefined ? window.schemeDark : dark) ? darkTones : lightTones
    }

    readonly property color windowBackground: tones.windowBackground
    readonly property color underPageBackground: tones.underPageBackground
    readonly property color controlBackground: tones.controlBackground
    readonly property color sheetBackground: tones.sheetBackground
    readonly property color groupBackground: tones.groupBackground
    readonly property color groupBorder: tones.groupBorder
    readonly property color cardBackground: tones.cardBackground
    readonly property color cardHoverBackground: tones.cardHoverBackground
    readonly property color separator: tones.separator
    readonly property color primary: tones.primary
    readonly property color secondary: tones.secondary
    readonly property color placeholder: tones.placeholder
    readonly property color quaternaryFill: tones.quaternaryFill
    readonly property color green: tones.green
    readonly property color orange: tones.orange
    readonly property color errorText: tones.errorText
    readonly property color focusRing: tones.focusRing
    readonly property color selection: tones.selection
    readonly property color red: tones.red
}

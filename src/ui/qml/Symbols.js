.pragma library
// The symbol names the views use, drawn with the Material Icons font.
const codepoints = {
    "lock.fill": "\ue897",
    "lock.open.fill": "\ue898",
    "key.fill": "\ue0da",
    "gearshape": "\ue8b8",
    "plus": "\ue145",
    "icloud.slash": "\ue2c1",
    "touchid": "\ue90d",
    "exclamationmark.triangle.fill": "\ue002",
    "externaldrive.badge.questionmark": "\ue4fa",
    "folder.badge.questionmark": "\ueb83",
    "folder": "\ue2c7",
    "trash": "\ue872",
    "checkmark.shield": "\ue8e8",
    "arrow.up.and.down": "\ue8d5",
    "pencil": "\ue3c9",
    "lock.rotation": "\ue863",
    "externaldrive": "\ue1db",
    "sparkles": "\ue65f",
    "eye": "\ue8f4",
    "magnifyingglass": "\ue8b6"
}
function glyph(name) {
    return codepoints[name] !== undefined ? codepoints[name] : "\ue887"
}

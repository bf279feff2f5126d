.pragma library
// The symbol names the views use, drawn with the Material Icons font.
const codepoints = {
    "lock.fill": "\ue897",
    "lock.open.fill": "\ue898",
    "key.fill": "\ue0da",
    "gearshape": "\ue8b8",
    "plus": "\ue145",
    "plus.square.fill": "\ue146",
    "icloud.slash": "\ue2c1",
    "touchid": "\ue90d",
    "exclamationmark.triangle.fill": "\ue002",
    "externaldrive.badge.questionmark": "\ue4fa",
    "folder.badge.questionmark": "\ueb83",
    "folder": "\ue2c7",
    "trash.fill": "\ue872",
    "checkmark.seal.fill": "\ue8e8",
    "checkmark.circle.fill": "\ue86c",
    "xmark.circle.fill": "\ue5c9",
    "exclamationmark.triangle": "\uf083",
    "icloud.and.arrow.up": "\ue2c3",
    "key.horizontal.fill": "\ue0da",
    "pencil.circle.fill": "\ue3c9",
    "arrow.up.right.circle.fill": "\uf1e1",
    "arrow.down.right.circle.fill": "\uf1e4",
    "gearshape.fill": "\ue8b8",
    "lock.rotation": "\ue863",
    "externaldrive": "\ue1db",
    "sparkles": "\ue65f",
    "eye": "\ue8f4",
    "magnifyingglass": "\ue8b6",
    "plus.circle.fill": "\ue147",
    "macwindow": "\ue069",
    "info.circle": "\ue88f",
    "power": "\ue8ac"
}
function glyph(name) {
    return codepoints[name] !== undefined ? codepoints[name] : "\ue887"
}

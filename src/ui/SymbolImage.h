#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

// Symbols for widgets (tray menus): the views' own table of symbol names (Symbols.js), drawn with
// the same icon font, so a menu shows the glyph a view shows for that name.
namespace SymbolImage {

// Empty when the name is not in the table or the font is missing.
[[nodiscard]] QIcon icon(const QString &name, const QColor &color = QColor(0x55, 0x55, 0x5a), int size = 22);
// The glyph the table gives for a name; empty when none.
[[nodiscard]] QString glyph(const QString &name);

} // namespace SymbolImage

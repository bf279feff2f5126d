#include "SymbolImage.h"

#include <QFile>
#include <QFontDatabase>
#include <QHash>
#include <QPainter>
#include <QPixmap>
#include <QRegularExpression>

namespace {

const QString iconFont = QStringLiteral("Material Icons");

QHash<QString, QString> loadTable()
{
    QHash<QString, QString> table;
    QFile source(QStringLiteral(":/org/hollowkeep/Symbols.js"));
    if (!source.open(QIODevice::ReadOnly))
        return table;
    static const QRegularExpression entry(QStringLiteral("\"([^\"]+)\":\\s*\"\\\\u([0-9a-fA-F]{4})\""));
    auto matches = entry.globalMatch(QString::fromUtf8(source.readAll()));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        table.insert(match.captured(1), QChar(char16_t(match.captured(2).toUShort(nullptr, 16))));
    }
    return table;
}

} // namespace

QString SymbolImage::glyph(const QString &name)
{
    static const QHash<QString, QString> table = loadTable();
    return table.value(name);
}

QIcon SymbolImage::icon(const QString &name, const QColor &color, int size)
{
    const QString text = glyph(name);
    if (text.isEmpty() || !QFontDatabase::families().contains(iconFont))
        return {};
    QIcon icon;
    for (const int scale : {1, 2}) {
        QPixmap pixmap(size * scale, size * scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        QFont font(iconFont);
        font.setPixelSize(int(size * scale * 0.9));
        painter.setFont(font);
        painter.setPen(color);
        painter.drawText(pixmap.rect(), Qt::AlignCenter, text);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

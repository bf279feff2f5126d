#include "MenuBarIcon.h"

#include "SymbolImage.h"

#include <QHash>
#include <QImageReader>

QString MenuBarIcon::resourcePath(bool anyUnlocked)
{
    return anyUnlocked ? QStringLiteral(":/org/hollowkeep/icons/tray-unlocked.svg")
                       : QStringLiteral(":/org/hollowkeep/icons/tray-locked.svg");
}

QIcon MenuBarIcon::image(bool anyUnlocked)
{
    static QHash<QString, QIcon> cache;
    const QString path = resourcePath(anyUnlocked);
    if (const auto cached = cache.constFind(path); cached != cache.cend())
        return *cached;
    QImageReader reader(path);
    reader.setScaledSize(QSize(44, 44));
    const QImage drawn = reader.read();
    if (drawn.isNull())
        return SymbolImage::icon(anyUnlocked ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill"));
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(drawn.scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    icon.addPixmap(QPixmap::fromImage(drawn));
    cache.insert(path, icon);
    return icon;
}

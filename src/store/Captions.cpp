#include "Captions.h"

#include "Vault.h"

#include <QLocale>

#include <array>
#include <cmath>

QString formatLimitMB(qint64 mb)
{
    if (mb % 1024 == 0)
        return QString::number(mb / 1024) + QStringLiteral(" GB");
    return QString::number(mb) + QStringLiteral(" MB");
}

QString formatByteCount(qint64 bytes)
{
    const qint64 magnitude = bytes < 0 ? -bytes : bytes;
    if (magnitude < 1000)
        return bytes == 1 || bytes == -1 ? QStringLiteral("%1 byte").arg(bytes)
                                         : QStringLiteral("%1 bytes").arg(bytes);
    // Kilobytes without decimals, megabytes with one, larger units with two; trailing zeros dropped.
    struct Unit
    {
        const char *name;
        int decimals;
    };
    static constexpr std::array<Unit, 5> units{{{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}}};
    double value = double(bytes) / 1000.0;
    std::size_t index = 0;
    // Move up while the rounded value would reach 1000 of the current unit.
    while (index + 1 < units.size()) {
        const double scale = std::pow(10.0, units[index].decimals);
        if (std::abs(std::round(value * scale) / scale) < 1000.0)
            break;
        value /= 1000.0;
        ++index;
    }
    QString number = QLocale().toString(value, 'f', units[index].decimals);
    const QChar decimalPoint = QLocale().decimalPoint().front();
    if (number.contains(decimalPoint)) {
        while (number.endsWith(QLatin1Char('0')))
            number.chop(1);
        if (number.endsWith(decimalPoint))
            number.chop(1);
    }
    return number + QLatin1Char(' ') + QLatin1String(units[index].name);
}

QString capacityCaption(qint64 bytes, const Vault &vault, bool unlocked)
{
    const QString limit = formatLimitMB(vault.maxSizeMB);
    if (unlocked)
        return formatByteCount(bytes) + QStringLiteral(" used of ") + limit;
    return formatByteCount(bytes) + QStringLiteral(" on disk · up to ") + limit;
}

#include "Vault.h"

#include "JsonFields.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QString Vault::idText() const
{
    return uuidText(id);
}

QDateTime Vault::lastOpenedAtDateTime() const
{
    return lastOpenedAt ? lastOpenedAt->toDateTime() : QDateTime();
}

namespace {

// A folder on which a disk is mounted: on another device than its parent.
bool isMountPoint(const QString &path)
{
    struct stat self, parent;
    return stat(QFile::encodeName(path).constData(), &self) == 0 && S_ISDIR(self.st_mode) &&
           stat(QFile::encodeName(path + QStringLiteral("/..")).constData(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

} // namespace

bool Vault::volumeIsPresent(const QString &path)
{
    const QStringList parts = QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!path.startsWith(QLatin1Char('/')))
        return true;
    const auto folder = [&](qsizetype depth) {
        return QLatin1Char('/') + parts.first(depth).join(QLatin1Char('/'));
    };
    if (parts.size() >= 2 && parts[0] == QLatin1String("Volumes"))
        return QFileInfo::exists(folder(2));
    if (parts.size() >= 4 && parts[0] == QLatin1String("run") && parts[1] == QLatin1String("media"))
        return QFileInfo::exists(folder(4));
    if (parts.size() >= 3 && parts[0] == QLatin1String("media")) {
        // The disk is mounted at /media/<user>/<disk> or straight at /media/<disk>; the path's
        // own last part is never the disk.
        return isMountPoint(folder(2)) || (parts.size() >= 4 && isMountPoint(folder(3)));
    }
    return true;
}

QJsonObject Vault::toJson() const
{
    QJsonObject object{
        {QStringLiteral("id"), idText()},
        {QStringLiteral("name"), name},
        {QStringLiteral("bundlePath"), bundlePath},
        {QStringLiteral("maxSizeMB"), maxSizeMB},
        {QStringLiteral("createdAt"), createdAt.secondsSinceReferenceDate},
        {QStringLiteral("excludedFromCloud"), excludedFromCloud},
        {QStringLiteral("requireTouchID"), requireTouchID},
        {QStringLiteral("openInFinderAfterUnlock"), openInFinderAfterUnlock},
        {QStringLiteral("autoOpenAtLaunch"), autoOpenAtLaunch},
    };
    if (lastOpenedAt)
        object.insert(QStringLiteral("lastOpenedAt"), lastOpenedAt->secondsSinceReferenceDate);
    if (passwordHint)
        object.insert(QStringLiteral("passwordHint"), *passwordHint);
    return object;
}

std::optional<Vault> Vault::fromJson(const QJsonObject &object)
{
    using namespace JsonFields;
    Vault vault;
    const auto id = requiredUuid(object, QStringLiteral("id"));
    const auto name = requiredString(object, QStringLiteral("name"));
    const auto bundlePath = requiredString(object, QStringLiteral("bundlePath"));
    const auto createdAt = requiredDate(object, QStringLiteral("createdAt"));
    if (!id || !name || !bundlePath || !createdAt)
        return std::nullopt;
    vault.id = *id;
    vault.name = *name;
    vault.bundlePath = *bundlePath;
    vault.createdAt = *createdAt;

    // Lists of earlier releases give the limit in gigabytes.
    const Field<qint64> megabytes = optionalInteger(object, QStringLiteral("maxSizeMB"));
    if (!megabytes)
        return std::nullopt;
    if (megabytes->has_value()) {
        vault.maxSizeMB = **megabytes;
    } else {
        const Field<qint64> gigabytes = optionalInteger(object, QStringLiteral("maxSizeGB"));
        if (!gigabytes)
            return std::nullopt;
        if (gigabytes->has_value() && __builtin_mul_overflow(**gigabytes, qint64(1024), &vault.maxSizeMB))
            return std::nullopt;
    }

    const auto flag = [&](const QString &key, bool fallback, bool &into) {
        const Field<bool> value = optionalBool(object, key);
        into = value ? value->value_or(fallback) : fallback;
        return value.has_value();
    };
    if (!flag(QStringLiteral("excludedFromCloud"), false, vault.excludedFromCloud) ||
        !flag(QStringLiteral("requireTouchID"), false, vault.requireTouchID) ||
        !flag(QStringLiteral("openInFinderAfterUnlock"), true, vault.openInFinderAfterUnlock) ||
        !flag(QStringLiteral("autoOpenAtLaunch"), false, vault.autoOpenAtLaunch))
        return std::nullopt;

    const Field<Timestamp> lastOpenedAt = optionalDate(object, QStringLiteral("lastOpenedAt"));
    const Field<QString> hint = optionalString(object, QStringLiteral("passwordHint"));
    if (!lastOpenedAt || !hint)
        return std::nullopt;
    vault.lastOpenedAt = *lastOpenedAt;
    vault.passwordHint = *hint;
    return vault;
}

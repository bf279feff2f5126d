#include "Vault.h"

#include "JsonFields.h"

#include <QDir>
#include <QFileInfo>

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

bool Vault::volumeIsPresent(const QString &path)
{
    const QStringList parts = QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!path.startsWith(QLatin1Char('/')))
        return true;
    // Number of leading components that name the mount place of a removable disk.
    qsizetype diskDepth = 0;
    if (parts.size() >= 2 && parts[0] == QLatin1String("Volumes"))
        diskDepth = 2;
    else if (parts.size() >= 3 && parts[0] == QLatin1String("media"))
        diskDepth = 3;
    else if (parts.size() >= 4 && parts[0] == QLatin1String("run") && parts[1] == QLatin1String("media"))
        diskDepth = 4;
    if (diskDepth == 0)
        return true;
    return QFileInfo::exists(QLatin1Char('/') + parts.first(diskDepth).join(QLatin1Char('/')));
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

#pragma once

#include "platform/Timestamp.h"

#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <optional>

// One registered vault: what is remembered about an encrypted image between runs. Nothing secret.
struct Vault
{
    Q_GADGET
    Q_PROPERTY(QString id READ idText CONSTANT)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString bundlePath MEMBER bundlePath)
    Q_PROPERTY(qint64 maxSizeMB MEMBER maxSizeMB)
    Q_PROPERTY(QDateTime createdAt READ createdAtDateTime)
    Q_PROPERTY(bool excludedFromCloud MEMBER excludedFromCloud)
    Q_PROPERTY(bool requireTouchID MEMBER requireTouchID)
    Q_PROPERTY(bool openInFinderAfterUnlock MEMBER openInFinderAfterUnlock)
    Q_PROPERTY(bool autoOpenAtLaunch MEMBER autoOpenAtLaunch)
    Q_PROPERTY(QDateTime lastOpenedAt READ lastOpenedAtDateTime)
    Q_PROPERTY(QString passwordHint READ passwordHintText)
    Q_PROPERTY(bool isValid READ isValid)

public:
    QUuid id;
    QString name;
    QString bundlePath;
    qint64 maxSizeMB = 1024;
    Timestamp createdAt;
    bool excludedFromCloud = false;
    bool requireTouchID = false;
    bool openInFinderAfterUnlock = true;
    bool autoOpenAtLaunch = false;
    std::optional<Timestamp> lastOpenedAt;
    std::optional<QString> passwordHint;

    // The identity in its file form: 36 upper-case hexadecimal characters with hyphens.
    [[nodiscard]] QString idText() const;
    [[nodiscard]] bool isValid() const { return !id.isNull(); }
    [[nodiscard]] QDateTime createdAtDateTime() const { return createdAt.toDateTime(); }
    [[nodiscard]] QDateTime lastOpenedAtDateTime() const;
    [[nodiscard]] QString passwordHintText() const { return passwordHint.value_or(QString()); }

    // Whether the disk a path lies on is connected. Paths on removable disks (/Volumes/<disk>,
    // /media/<user>/<disk> or /media/<disk>, /run/media/<user>/<disk>) need that disk; every other
    // path lies on a disk that is always present.
    [[nodiscard]] static bool volumeIsPresent(const QString &path);

    [[nodiscard]] QJsonObject toJson() const;
    // Reads one object of the vault list; nothing when a required key is missing or ill-typed.
    [[nodiscard]] static std::optional<Vault> fromJson(const QJsonObject &object);

    friend bool operator==(const Vault &, const Vault &) = default;
};

Q_DECLARE_METATYPE(Vault)

// Text of a UUID as the files hold it.
[[nodiscard]] QString uuidText(const QUuid &id);

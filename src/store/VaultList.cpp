#include "VaultList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace VaultList {

QString openStoreFile(const QString &applicationSupport)
{
    const QString folder = applicationSupport + QStringLiteral("/Hollowkeep");
    const QString legacyFolder = applicationSupport + QStringLiteral("/Ambrybox");
    if (!QFileInfo::exists(folder) && QFileInfo::exists(legacyFolder))
        QDir().rename(legacyFolder, folder);
    QDir().mkpath(folder);
    return folder + QStringLiteral("/vaults.json");
}

QList<Vault> load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    std::optional<QList<Vault>> vaults = decode(file.readAll());
    if (!vaults) {
        QFile::remove(path + QStringLiteral(".unreadable"));
        QFile::copy(path, path + QStringLiteral(".unreadable"));
        return {};
    }
    return *vaults;
}

bool save(const QString &path, const QList<Vault> &vaults)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(encode(vaults));
    return file.commit();
}

QByteArray encode(const QList<Vault> &vaults)
{
    QJsonArray array;
    for (const Vault &vault : vaults)
        array.append(vault.toJson());
    // QJsonObject keeps its keys sorted, so the output is in sorted-key order.
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

std::optional<QList<Vault>> decode(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<Vault> vaults;
    for (const QJsonValue &value : document.array()) {
        if (!value.isObject())
            return std::nullopt;
        std::optional<Vault> vault = Vault::fromJson(value.toObject());
        if (!vault)
            return std::nullopt;
        vaults.append(*vault);
    }
    return vaults;
}

} // namespace VaultList

#pragma once

#include "Vault.h"

#include <QList>

// The vault list file: vaults.json in the application-support folder, a pretty-printed JSON array of
// vault objects with sorted keys, read all-or-nothing.
namespace VaultList {

// Prepares <applicationSupport>/Hollowkeep, moving the earlier release's "Ambrybox" folder there
// when only that one exists, and answers the path of the list file inside it.
[[nodiscard]] QString openStoreFile(const QString &applicationSupport);

// The list in the file; empty when the file is missing, unreadable or any object in it is invalid.
// An unreadable file is copied aside (vaults.json.unreadable) so the next save cannot lose it.
[[nodiscard]] QList<Vault> load(const QString &path);
// Replaces the file atomically; false when that failed (the file is then unchanged).
bool save(const QString &path, const QList<Vault> &vaults);

[[nodiscard]] QByteArray encode(const QList<Vault> &vaults);
[[nodiscard]] std::optional<QList<Vault>> decode(const QByteArray &json);

} // namespace VaultList

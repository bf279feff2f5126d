#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QUuid>

#include <optional>

// Saved vault passwords in the desktop's secret store (a Secret Service such as GNOME Keyring or
// KWallet), one item per vault: a fixed service name and the vault's upper-case UUID as account.
// Nothing is ever reported: a keyring that is missing, locked or refuses reads as "no saved
// password", and a failed save leaves no item.
namespace Keychain {

// The service of every item. It is the earlier release's identifier, so saved passwords keep working.
[[nodiscard]] QString serviceName();

QCoro::Task<std::optional<QString>> password(QUuid vaultId);
// Replaces any saved password of the vault.
QCoro::Task<void> savePassword(QString password, QUuid vaultId);
QCoro::Task<void> deletePassword(QUuid vaultId);

} // namespace Keychain

// The idle clock, the two timers' work and the launch-time unlock.

#include "VaultStore.h"

#include "platform/SettingsKeys.h"
#include "diskimage/DiskImage.h"
#include "platform/UserDefaults.h"
#include "platform/VolumeUsage.h"

#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

void VaultStore::touchActivity(const Vault &vault)
{
    if (isUnlocked(vault.id))
        m_unlockedAt.insert(vault.id, now());
}

QCoro::Task<void> VaultStore::autoLockTick()
{
    // Read at every tick, so a change in the settings applies at once.
    if (!m_defaults.boolValue(SettingsKeys::autoLockEnabled))
        co_return;
    const qint64 minutes = std::max<qint64>(1, m_defaults.integerValue(SettingsKeys::autoLockMinutes));
    const Timestamp cutOff = now().addSeconds(-double(minutes) * 60);
    const QList<Vault> vaults = m_vaults;
    for (const Vault &vault : vaults) {
        const std::optional<Timestamp> since = unlockedAt(vault.id);
        if (isUnlocked(vault.id) && !isBusy(vault.id) && since && *since < cutOff)
            co_await lock(vault, true, u"auto"_qs);
    }
}

QCoro::Task<void> VaultStore::refreshUnlockedSizes()
{
    if (m_mountPoints.isEmpty())
        co_return;
    const QList<Vault> vaults = m_vaults;
    for (const Vault &vault : vaults) {
        if (isUnlocked(vault.id))
            setSize(vault.id, co_await usedBytes(vault));
    }
}

QCoro::Task<qint64> VaultStore::usedBytes(Vault vault)
{
    const auto mountPoint = m_mountPoints.constFind(vault.id);
    if (mountPoint != m_mountPoints.cend()) {
        const std::optional<qint64> used =
            co_await VolumeUsage::usedBytes(*mountPoint, std::chrono::seconds(3));
        if (used)
            co_return *used;
    }
    co_return co_await DiskImage::sizeOnDisk(vault.bundlePath);
}

QCoro::Task<void> VaultStore::autoOpenFavorites()
{
    if (m_didAutoOpen)
        co_return;
    m_didAutoOpen = true;
    const QList<Vault> vaults = m_vaults;
    for (const Vault &vault : vaults) {
        if (vault.autoOpenAtLaunch && !isUnlocked(vault.id) && QFileInfo::exists(vault.bundlePath))
            co_await requestUnlock(vault);
    }
}

#include "VaultStore.h"

#include "VaultList.h"
#include "diskimage/CloudExclusion.h"
#include "diskimage/DiskImage.h"
#include "platform/AppPaths.h"
#include "platform/FileBrowser.h"
#include "platform/Keychain.h"
#include "platform/TouchID.h"
#include "platform/UserDefaults.h"

#include <QCoro/QCoroSignal>
#include <QFileInfo>
#include <QScopeGuard>

using namespace Qt::Literals::StringLiterals;

BusyMark::BusyMark(VaultStore &store, const QUuid &id) : m_store(store), m_id(id)
{
    m_store.setBusy(m_id, true);
}

BusyMark::~BusyMark()
{
    m_store.setBusy(m_id, false);
}

VaultStore::VaultStore(UserDefaults &defaults, const QString &applicationSupport, bool startTimers,
                       QObject *parent)
    : QObject(parent), m_defaults(defaults)
{
    m_storeURL = VaultList::openStoreFile(applicationSupport);
    m_vaults = VaultList::load(m_storeURL);
    m_activity = ActivityLog::load(m_defaults);

    // The timers only start work; a slow tick may overlap the next one.
    m_autoLockTimer.setInterval(autoLockIntervalMs);
    m_sizeTimer.setInterval(sizeRefreshIntervalMs);
    connect(&m_autoLockTimer, &QTimer::timeout, this, [this] { startInBackground(autoLockTick()); });
    connect(this, &VaultStore::vaultsChanged, this, &VaultStore::forgetSizesOfRemovedVaults);
    connect(&m_sizeTimer, &QTimer::timeout, this, [this] { startInBackground(refreshUnlockedSizes()); });
    if (startTimers) {
        m_autoLockTimer.start();
        m_sizeTimer.start();
    }
}

VaultStore::~VaultStore() = default;

VaultStore &VaultStore::shared()
{
    static VaultStore *store = new VaultStore(UserDefaults::standard(), AppPaths::dataHome());
    return *store;
}

// ---- state ----

std::optional<Vault> VaultStore::vault(const QUuid &id) const
{
    const qsizetype index = indexOf(id);
    return index < 0 ? std::nullopt : std::optional<Vault>(m_vaults[index]);
}

qsizetype VaultStore::indexOf(const QUuid &id) const
{
    for (qsizetype i = 0; i < m_vaults.size(); ++i) {
        if (m_vaults[i].id == id)
            return i;
    }
    return -1;
}

void VaultStore::setVaults(const QList<Vault> &vaults)
{
    if (m_vaults == vaults)
        return;
    m_vaults = vaults;
    Q_EMIT vaultsChanged();
}

void VaultStore::appendVault(const Vault &vault)
{
    m_vaults.append(vault);
    save();
    Q_EMIT vaultsChanged();
}

bool VaultStore::updateRecord(const QUuid &id, const std::function<void(Vault &)> &change)
{
    const qsizetype index = indexOf(id);
    if (index < 0)
        return false;
    change(m_vaults[index]);
    save();
    Q_EMIT vaultsChanged();
    return true;
}

void VaultStore::setErrorMessage(const std::optional<QString> &message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void VaultStore::setErrorMessageText(const QString &text)
{
    setErrorMessage(text.isEmpty() ? std::nullopt : std::optional<QString>(text));
}

void VaultStore::setPasswordPromptVault(const std::optional<Vault> &vault)
{
    if (m_passwordPromptVault == vault)
        return;
    m_passwordPromptVault = vault;
    Q_EMIT passwordPromptVaultChanged();
}

void VaultStore::setNewVaultRequested(bool requested)
{
    if (m_newVaultRequested == requested)
        return;
    m_newVaultRequested = requested;
    Q_EMIT newVaultRequestedChanged();
}

std::optional<Timestamp> VaultStore::unlockedAt(const QUuid &id) const
{
    const auto it = m_unlockedAt.constFind(id);
    return it == m_unlockedAt.cend() ? std::nullopt : std::optional<Timestamp>(*it);
}

void VaultStore::setBusy(const QUuid &id, bool busy)
{
    const int count = m_busyCounts.value(id) + (busy ? 1 : -1);
    const bool changed = (count > 0) != m_busyVaults.contains(id);
    if (count > 0) {
        m_busyCounts.insert(id, count);
        m_busyVaults.insert(id);
    } else {
        m_busyCounts.remove(id);
        m_busyVaults.remove(id);
    }
    if (changed)
        Q_EMIT busyVaultsChanged();
}

void VaultStore::setMountPoint(const QUuid &id, const std::optional<QString> &mountPoint)
{
    if (mountPoint)
        m_mountPoints.insert(id, *mountPoint);
    else
        m_mountPoints.remove(id);
    ++m_mountChanges;
    Q_EMIT mountPointsChanged();
}

void VaultStore::setSize(const QUuid &id, qint64 bytes)
{
    const auto it = m_sizesOnDisk.constFind(id);
    if (it != m_sizesOnDisk.cend() && *it == bytes)
        return;
    m_totalSizeOnDisk += bytes - (it != m_sizesOnDisk.cend() ? *it : 0);
    m_sizesOnDisk.insert(id, bytes);
    Q_EMIT sizesOnDiskChanged();
}

void VaultStore::forgetSizesOfRemovedVaults()
{
    if (m_sizesOnDisk.size() <= m_vaults.size())
        return;
    QSet<QUuid> listed;
    for (const Vault &vault : std::as_const(m_vaults))
        listed.insert(vault.id);
    bool removed = false;
    for (auto it = m_sizesOnDisk.begin(); it != m_sizesOnDisk.end();) {
        if (listed.contains(it.key())) {
            ++it;
            continue;
        }
        m_totalSizeOnDisk -= it.value();
        it = m_sizesOnDisk.erase(it);
        removed = true;
    }
    if (removed)
        Q_EMIT sizesOnDiskChanged();
}

void VaultStore::save()
{
    // A failed save keeps the list in memory; the next save writes it.
    VaultList::save(m_storeURL, m_vaults);
}

void VaultStore::recordActivity(const QString &text)
{
    ActivityLog::record(m_activity, text, m_defaults);
    Q_EMIT activityChanged();
}

VaultFileState VaultStore::fileState(const Vault &vault)
{
    if (QFileInfo::exists(vault.bundlePath))
        return VaultFileState::Present;
    return Vault::volumeIsPresent(vault.bundlePath) ? VaultFileState::Missing
                                                    : VaultFileState::WaitingForDisk;
}

QCoro::Task<void> VaultStore::presentMissingFile(Vault vault)
{
    if (!m_fileDialogs)
        co_return;
    if (fileState(vault) == VaultFileState::Missing)
        co_await m_fileDialogs->presentRelocated(vault);
    else
        co_await m_fileDialogs->presentWaiting(vault);
}

// ---- unlock and lock ----

QCoro::Task<void> VaultStore::refresh()
{
    co_await refreshMountPoints();
    // Locked vaults are measured together; unlocked ones by their volumes.
    const QList<Vault> vaults = m_vaults;
    QStringList locked;
    for (const Vault &vault : vaults) {
        if (!isUnlocked(vault.id))
            locked.append(vault.bundlePath);
    }
    const QHash<QString, qint64> sizes = co_await DiskImage::sizesOnDisk(locked);
    for (const Vault &vault : vaults) {
        if (isUnlocked(vault.id))
            setSize(vault.id, co_await usedBytes(vault));
        else
            setSize(vault.id, sizes.value(vault.bundlePath, 0));
    }
}

QCoro::Task<void> VaultStore::refreshMountPoints()
{
    // An unlock or a lock that ends while the tool answers is newer than the answer: ask again,
    // and leave the table as it is when it keeps changing or the tool cannot tell.
    std::optional<QMap<QString, QString>> answer;
    for (int attempt = 0;; ++attempt) {
        const quint64 changesBefore = m_mountChanges;
        answer = co_await DiskImage::attachedImages();
        if (changesBefore == m_mountChanges)
            break;
        if (attempt == 2)
            co_return;
    }
    if (!answer)
        co_return;
    const QMap<QString, QString> &images = *answer;
    QHash<QString, QString> attachedByPath;
    for (auto it = images.cbegin(); it != images.cend(); ++it)
        attachedByPath.insert(DiskImage::resolvedPath(it.key()), it.value());
    QHash<QUuid, QString> found;
    for (const Vault &vault : std::as_const(m_vaults)) {
        const auto match = attachedByPath.constFind(DiskImage::resolvedPath(vault.bundlePath));
        if (match == attachedByPath.cend())
            continue;
        found.insert(vault.id, *match);
        if (!m_unlockedAt.contains(vault.id))
            m_unlockedAt.insert(vault.id, now());
    }
    m_knowsMountPoints = true;
    if (found != m_mountPoints) {
        m_mountPoints = found;
        Q_EMIT mountPointsChanged();
    }
}

QCoro::Task<Outcome> VaultStore::requestUnlock(Vault vault)
{
    if (isUnlocked(vault.id))
        co_return Outcome{};
    if (isBusy(vault.id))
        co_return Outcome{u"“%1” is busy."_qs.arg(vault.name)};
    if (!QFileInfo::exists(vault.bundlePath)) {
        co_await presentMissingFile(vault);
        co_return Outcome{u"“%1” is not where it was."_qs.arg(vault.name)};
    }
    // Busy from here on: a second request during the keyring lookup or the authentication
    // prompt must find this one under way.
    BusyMark busy(*this, vault.id);
    const std::optional<QString> saved = co_await Keychain::password(vault.id);
    if (!saved) {
        setPasswordPromptVault(vault);
        co_return Outcome{u"No password for “%1” is saved in your keyring."_qs.arg(vault.name)};
    }
    if (!vault.requireTouchID)
        co_return co_await unlock(vault, *saved, false, u"keyring"_qs);
    const TouchID::Answer answer = co_await TouchID::ask(u"unlock the vault “%1”"_qs.arg(vault.name));
    if (!answer.authorized)
        co_return answer.problem.isEmpty() ? Outcome{u"Authentication was cancelled."_qs} : failed(answer.problem);
    // A rejected saved password has set its message and is gone: the next request prompts.
    co_return co_await unlock(vault, *saved, false, u"authentication"_qs);
}

QCoro::Task<bool> VaultStore::authenticateOwner(QString reason)
{
    const TouchID::Answer answer = co_await TouchID::ask(reason);
    if (!answer.problem.isEmpty())
        setErrorMessage(answer.problem);
    co_return answer.authorized;
}

QCoro::Task<Outcome> VaultStore::unlock(Vault vault, QString password, bool saveToKeychain, QString method)
{
    if (!QFileInfo::exists(vault.bundlePath)) {
        co_await presentMissingFile(vault);
        co_return Outcome{u"“%1” is not where it was."_qs.arg(vault.name)};
    }
    BusyMark busy(*this, vault.id);
    DiskImage::Attached attached;
    std::optional<QString> failure;
    bool wrongPassword = false;
    try {
        attached = co_await DiskImage::attach(vault.bundlePath, password, false);
    } catch (const DiskImageError &error) {
        wrongPassword = error.kind() == DiskImageError::Kind::BadPassword;
        failure = error.errorDescription();
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    if (wrongPassword) {
        co_await Keychain::deletePassword(vault.id);
        co_return failed(u"Wrong password for “%1”."_qs.arg(vault.name));
    }
    if (failure)
        co_return failed(*failure);

    const QString mountPoint = attached.mountPoint;
    m_unlockedAt.insert(vault.id, now());
    setMountPoint(vault.id, mountPoint);
    updateRecord(vault.id, [&](Vault &record) { record.lastOpenedAt = now(); });
    co_await CloudExclusion::excludeFromSpotlight(mountPoint);
    // A vault that was not locked cleanly was put right on the way: the log says what was done.
    if (!attached.repairReport.isEmpty())
        recordActivity(vault.name + u" repaired · "_qs + attached.repairReport);
    recordActivity(vault.name + u" unlocked · "_qs + method);
    if (saveToKeychain)
        co_await Keychain::savePassword(password, vault.id);
    if (vault.openInFinderAfterUnlock)
        openVaultFolder(mountPoint);
    co_return Outcome{};
}

QCoro::Task<Outcome> VaultStore::lock(Vault vault, bool quiet, QString reason)
{
    // Work in progress on an unlocked vault (an import) finishes first: a lock between two of its
    // files would cut it off.
    while (isBusy(vault.id) && isUnlocked(vault.id))
        co_await qCoro(this, &VaultStore::busyVaultsChanged);
    const auto mountPoint = m_mountPoints.constFind(vault.id);
    if (mountPoint == m_mountPoints.cend())
        co_return Outcome{};
    const QString at = *mountPoint;
    BusyMark busy(*this, vault.id);
    std::optional<QString> failure;
    try {
        co_await DiskImage::detach(at, false);
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    // Typically a file is still open; the vault stays unlocked.
    if (failure)
        co_return failed(*failure, quiet);
    m_unlockedAt.remove(vault.id);
    setMountPoint(vault.id, std::nullopt);
    recordActivity(vault.name + u" locked ("_qs + reason + u")"_qs);
    setSize(vault.id, co_await DiskImage::sizeOnDisk(vault.bundlePath));
    co_return Outcome{};
}

QCoro::Task<Outcome> VaultStore::lockAll(bool quiet, QString reason)
{
    // One pass at a time; a Lock All asked for while one runs makes its own pass afterwards, with
    // its own reason and reporting, over what is still unlocked (often nothing: one event is
    // often heard twice, from the screen saver and from logind).
    while (m_lockingAll)
        co_await qCoro(this, &VaultStore::lockAllFinished);
    m_lockingAll = true;
    const auto finished = qScopeGuard([this] {
        m_lockingAll = false;
        Q_EMIT lockAllFinished();
    });
    // Vaults at work (an import) lock once their work is done, after all the others.
    QList<Vault> order;
    QList<Vault> atWork;
    for (const Vault &vault : std::as_const(m_vaults)) {
        if (isBusy(vault.id))
            atWork << vault;
        else if (isUnlocked(vault.id))
            order << vault;
    }
    order << atWork;
    QStringList failures;
    for (const Vault &vault : std::as_const(order)) {
        if (!isUnlocked(vault.id) && !isBusy(vault.id))
            continue;
        const Outcome outcome = co_await lock(vault, quiet, reason);
        if (outcome.failure)
            failures << *outcome.failure;
    }
    co_return failures.isEmpty() ? Outcome{} : Outcome{failures.join(QLatin1Char('\n'))};
}

void VaultStore::openVaultFolder(const QString &path)
{
    startInBackground(showInFileManager(path, false));
}

void VaultStore::revealInFileManager(const QString &path)
{
    startInBackground(showInFileManager(path, true));
}

QCoro::Task<void> VaultStore::showInFileManager(QString path, bool selected)
{
    bool shown = false;
    if (selected)
        shown = co_await FileBrowser::showItem(path);
    else
        shown = co_await FileBrowser::showFolder(path);
    if (!shown)
        Q_EMIT fileManagerMissing(path);
}

Outcome VaultStore::failed(const QString &text, bool quiet)
{
    if (!quiet)
        setErrorMessage(text);
    return Outcome{text};
}

void VaultStore::startInBackground(QCoro::Task<void> &&work)
{
    ++m_backgroundWork;
    QCoro::connect(std::move(work), this, [this] {
        --m_backgroundWork;
        Q_EMIT backgroundWorkFinished();
    });
}

// ---- published values for QML ----

QVariantList VaultStore::vaultValues() const
{
    QVariantList values;
    for (const Vault &vault : m_vaults)
        values.append(QVariant::fromValue(vault));
    return values;
}

QVariantMap VaultStore::mountPointValues() const
{
    QVariantMap values;
    for (auto it = m_mountPoints.cbegin(); it != m_mountPoints.cend(); ++it)
        values.insert(uuidText(it.key()), it.value());
    return values;
}

QVariantMap VaultStore::sizeValues() const
{
    QVariantMap values;
    for (auto it = m_sizesOnDisk.cbegin(); it != m_sizesOnDisk.cend(); ++it)
        values.insert(uuidText(it.key()), it.value());
    return values;
}

QStringList VaultStore::busyValues() const
{
    QStringList values;
    for (const QUuid &id : m_busyVaults)
        values.append(uuidText(id));
    return values;
}

QVariant VaultStore::passwordPromptValue() const
{
    return m_passwordPromptVault ? QVariant::fromValue(*m_passwordPromptVault) : QVariant();
}

QVariantList VaultStore::activityValues() const
{
    QVariantList values;
    for (const ActivityEvent &event : m_activity)
        values.append(QVariant::fromValue(event));
    return values;
}

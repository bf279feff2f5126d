// Changes to vaults and to the list: adding, relocating, deleting, renaming, resizing, compacting,
// re-keying, options, hints and cloud exclusion.

#include "VaultStore.h"

#include "VaultRules.h"
#include "diskimage/CloudExclusion.h"
#include "diskimage/DiskImage.h"
#include "diskimage/Plist.h"
#include "platform/Keychain.h"
#include "platform/PathNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString chooseVaultFileMessage = u"Choose a vault file (.sparsebundle or .nosync)."_qs;

QString lastExtension(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 ? name.mid(dot + 1) : QString();
}

// The file name without its last extension.
QString stem(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 ? name.left(dot) : name;
}

bool isAcceptedVaultFile(const QString &path)
{
    const QString extension = lastExtension(path).toLower();
    return (extension == QLatin1String("sparsebundle") || extension == QLatin1String("nosync")) &&
           QFileInfo::exists(path);
}

// The limit recorded in a bundle's Info.plist: its "size" in whole MB, 16 at least; 1024 when the
// file says nothing usable.
qint64 recordedLimitMB(const QString &bundle)
{
    QFile file(bundle + u"/Info.plist"_qs);
    if (!file.open(QIODevice::ReadOnly))
        return 1024;
    const std::optional<QVariant> root = Plist::parse(file.readAll());
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return 1024;
    const QVariant size = root->toMap().value(u"size"_qs);
    if (size.typeId() != QMetaType::LongLong && size.typeId() != QMetaType::Double)
        return 1024;
    const qint64 bytes = size.toLongLong();
    return bytes > 16777215 ? bytes / 1048576 : 16;
}

} // namespace

QCoro::Task<Outcome> VaultStore::reportFailure(QCoro::Task<void> &&work)
{
    std::optional<QString> failure;
    bool stopped = false;
    try {
        co_await std::move(work);
    } catch (const DiskImageError &error) {
        failure = error.errorDescription();
        // Asked for: no alert.
        stopped = error.kind() == DiskImageError::Kind::Stopped;
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    co_return failure ? failed(*failure, stopped) : Outcome{};
}

void VaultStore::addExistingVault(const QString &path)
{
    if (!isAcceptedVaultFile(path)) {
        setErrorMessage(chooseVaultFileMessage);
        return;
    }
    const QString resolved = DiskImage::resolvedPath(path);
    for (const Vault &existing : std::as_const(m_vaults)) {
        if (DiskImage::resolvedPath(existing.bundlePath) == resolved) {
            setErrorMessage(u"That vault is already in the list."_qs);
            return;
        }
    }
    Vault vault;
    vault.id = QUuid::createUuid();
    vault.name = stem(path);
    vault.bundlePath = path;
    vault.maxSizeMB = recordedLimitMB(path);
    vault.createdAt = now();
    vault.excludedFromCloud = lastExtension(path).toLower() == QLatin1String("nosync");
    appendVault(vault);
    // A vault that is already attached shows as unlocked.
    startInBackground(refresh());
}

void VaultStore::relocate(const Vault &vault, const QString &path)
{
    if (!isAcceptedVaultFile(path)) {
        setErrorMessage(chooseVaultFileMessage);
        return;
    }
    if (indexOf(vault.id) < 0)
        return;
    const QString resolved = DiskImage::resolvedPath(path);
    for (const Vault &other : std::as_const(m_vaults)) {
        if (other.id != vault.id && DiskImage::resolvedPath(other.bundlePath) == resolved) {
            setErrorMessage(u"“%1” is already using that file."_qs.arg(other.name));
            return;
        }
    }
    QString newName;
    updateRecord(vault.id, [&](Vault &record) {
        record.bundlePath = path;
        if (!stem(path).isEmpty())
            record.name = stem(path);
        record.excludedFromCloud = lastExtension(path).toLower() == QLatin1String("nosync");
        newName = record.name;
    });
    recordActivity(newName + u" located"_qs);
    startInBackground(refresh());
}

QCoro::Task<Outcome> VaultStore::deleteVault(Vault vault)
{
    if (isUnlocked(vault.id)) {
        const Outcome locked = co_await lock(vault, false, u"manual"_qs);
        if (!locked)
            co_return locked;
    }
    const std::optional<Vault> current = this->vault(vault.id);
    QFile file(current ? current->bundlePath : vault.bundlePath);
    if (!file.moveToTrash())
        co_return failed(u"“%1” couldn’t be moved to the Trash: %2"_qs.arg(
            QFileInfo(file.fileName()).fileName(), file.errorString()));
    co_await Keychain::deletePassword(vault.id);
    if (m_vaults.removeIf([&](const Vault &record) { return record.id == vault.id; }) > 0) {
        save();
        Q_EMIT vaultsChanged();
    }
    co_return Outcome{};
}

QCoro::Task<Outcome> VaultStore::rename(Vault vault, QString newName, QString password)
{
    if (isUnlocked(vault.id))
        co_return failed(u"Lock “%1” first, then rename it."_qs.arg(vault.name));
    const QFileInfo file(vault.bundlePath);
    const QString target =
        file.path() + QLatin1Char('/') + newName + QLatin1Char('.') + lastExtension(vault.bundlePath);
    if (pathIsTaken(target))
        co_return failed(VaultRules::nameCollisionMessage(newName));
    BusyMark busy(*this, vault.id);
    co_return co_await reportFailure(renameImage(vault, newName, password, target));
}

QCoro::Task<void> VaultStore::renameImage(Vault vault, QString newName, QString password, QString target)
{
    const DiskImage::Attached attached = co_await DiskImage::attach(vault.bundlePath, password, true);
    const QString attachedAt = attached.mountPoint;
    std::optional<QString> renameFailure;
    try {
        co_await DiskImage::renameVolume(attachedAt, newName);
    } catch (const std::exception &error) {
        renameFailure = describeError(error);
    }
    if (renameFailure) {
        try {
            co_await DiskImage::detach(attachedAt, false);
        } catch (const std::exception &) {
        }
        throw DiskImageError::commandFailed(*renameFailure);
    }
    // The mount point follows the volume's new name.
    const std::optional<QString> current = co_await DiskImage::mountPoint(vault.bundlePath);
    co_await DiskImage::detach(current.value_or(attachedAt), false);
    if (::rename(QFile::encodeName(vault.bundlePath).constData(), QFile::encodeName(target).constData()) != 0)
        throw DiskImageError::commandFailed(u"“%1” couldn’t be renamed: %2."_qs.arg(
            QFileInfo(vault.bundlePath).fileName(), QString::fromLocal8Bit(strerror(errno))));
    updateRecord(vault.id, [&](Vault &record) {
        record.name = newName;
        record.bundlePath = target;
    });
}

// Passes a tool's progress on as progressed(). Kept in a named variable by the caller: g++ 12
// destroys a temporary made inside an awaited call twice.
std::function<void(int, const QString &)> VaultStore::progressReporter(const QUuid &id, const QString &operation)
{
    return [this, id, operation](int percent, const QString &stage) { Q_EMIT progressed(id, operation, percent, stage); };
}

QCoro::Task<Outcome> VaultStore::resize(Vault vault, qint64 newSizeMB, QString password)
{
    BusyMark busy(*this, vault.id);
    co_return co_await reportFailure(resizeImage(vault, newSizeMB, password));
}

QCoro::Task<void> VaultStore::resizeImage(Vault vault, qint64 newSizeMB, QString password)
{
    const DiskImage::ProgressObserver report = progressReporter(vault.id, u"resize"_qs);
    co_await DiskImage::resize(vault.bundlePath, newSizeMB, password, report);
    updateRecord(vault.id, [&](Vault &record) { record.maxSizeMB = newSizeMB; });
}

QCoro::Task<Outcome> VaultStore::compact(Vault vault, QString password, DiskImage::StopSwitch *stop)
{
    BusyMark busy(*this, vault.id);
    co_return co_await reportFailure(compactImage(vault, password, stop));
}

QCoro::Task<void> VaultStore::compactImage(Vault vault, QString password, DiskImage::StopSwitch *stop)
{
    const DiskImage::ProgressObserver report = progressReporter(vault.id, u"compact"_qs);
    bool stopped = false;
    try {
        co_await DiskImage::compact(vault.bundlePath, password, report, stop);
    } catch (const DiskImageError &error) {
        if (error.kind() != DiskImageError::Kind::Stopped)
            throw;
        stopped = true;
    }
    // Stopped part-way, the space given back so far counts too.
    setSize(vault.id, co_await DiskImage::sizeOnDisk(vault.bundlePath));
    if (stopped)
        throw DiskImageError::stopped();
}

QCoro::Task<Outcome> VaultStore::changePassword(Vault vault, QString oldPassword, QString newPassword)
{
    if (isUnlocked(vault.id))
        co_return failed(u"Lock “%1” first, then change its password."_qs.arg(vault.name));
    BusyMark busy(*this, vault.id);
    co_return co_await reportFailure(rekeyImage(vault, oldPassword, newPassword));
}

QCoro::Task<void> VaultStore::rekeyImage(Vault vault, QString oldPassword, QString newPassword)
{
    co_await DiskImage::changePassword(vault.bundlePath, oldPassword, newPassword);
    // Keep a saved password in step; a vault without one stays without one.
    const std::optional<QString> saved = co_await Keychain::password(vault.id);
    if (saved)
        co_await Keychain::savePassword(newPassword, vault.id);
}

void VaultStore::updateOptions(const Vault &vault, bool requireTouchID, bool openInFinderAfterUnlock,
                               bool autoOpenAtLaunch)
{
    updateRecord(vault.id, [&](Vault &record) {
        record.requireTouchID = requireTouchID;
        record.openInFinderAfterUnlock = openInFinderAfterUnlock;
        record.autoOpenAtLaunch = autoOpenAtLaunch;
    });
}

void VaultStore::updatePasswordHint(const Vault &vault, const std::optional<QString> &hint)
{
    updateRecord(vault.id, [&](Vault &record) { record.passwordHint = hint; });
}

void VaultStore::setCloudExclusion(const Vault &vault, bool excluded)
{
    if (isUnlocked(vault.id)) {
        setErrorMessage(u"Lock “%1” first, then change its cloud sync setting."_qs.arg(vault.name));
        return;
    }
    QString location;
    try {
        location =
            excluded ? CloudExclusion::exclude(vault.bundlePath) : CloudExclusion::include(vault.bundlePath);
    } catch (const std::exception &error) {
        setErrorMessage(describeError(error));
        return;
    }
    updateRecord(vault.id, [&](Vault &record) {
        record.bundlePath = location;
        record.excludedFromCloud = excluded;
    });
}

QCoro::Task<void> VaultStore::removeFromList(Vault vault)
{
    co_await Keychain::deletePassword(vault.id);
    m_vaults.removeIf([&](const Vault &record) { return record.id == vault.id; });
    save();
    Q_EMIT vaultsChanged();
}

#include "VaultActions.h"

#include "FolderChooser.h"
#include "UnlockPromptWindow.h"

#include "diskimage/CloudExclusion.h"
#include "diskimage/DiskImage.h"
#include "platform/Keychain.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "store/VaultRules.h"

#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJSEngine>
#include <QStandardPaths>
#include <QUrl>

using namespace Qt::Literals::StringLiterals;

VaultActions::VaultActions(VaultStore &store, QObject *parent) : QObject(parent), m_store(store)
{
    // Relative dates move on by the minute; a disk that is unplugged without its folder changing
    // (a network share) is noticed within this time too.
    m_clock.setInterval(20000);
    connect(&m_clock, &QTimer::timeout, this, &VaultActions::noteOutsideChange);
    m_clock.start();
    // Several changes in one folder (a move is a removal and a creation) make one update.
    m_settle.setSingleShot(true);
    m_settle.setInterval(150);
    connect(&m_settle, &QTimer::timeout, this, &VaultActions::noteOutsideChange);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    connect(&m_store, &VaultStore::vaultsChanged, this, &VaultActions::watchVaultFolders);
    connect(&m_store, &VaultStore::progressed, this,
            [this](const QUuid &id, const QString &operation, int percent, const QString &stage) {
                Q_EMIT progress(operation, uuidText(id), percent, stage);
            });
    connect(this, &VaultActions::progress, this,
            [this](const QString &operation, const QString &id, int percent, const QString &stage) {
                const auto running = m_stoppable.find(id);
                if (running == m_stoppable.end() || running->operation != operation)
                    return;
                running->percent = percent;
                running->stage = stage;
                Q_EMIT stoppableWorkChanged();
            });
    connect(&FolderChooser::shared(), &FolderChooser::chosen, this, &VaultActions::onFolderChosen);
    watchVaultFolders();
}

void VaultActions::noteOutsideChange()
{
    ++m_outsideChanges;
    Q_EMIT outsideChangesChanged();
}

void VaultActions::watchVaultFolders()
{
    QStringList folders;
    const QString user = qEnvironmentVariable("USER");
    for (const QString &disks : {u"/media"_qs, u"/media/"_qs + user, u"/run/media/"_qs + user, u"/Volumes"_qs})
        folders << disks;
    for (const Vault &vault : m_store.vaults()) {
        // The bundle's folder and the one above it: a rename or move of either shows.
        const QFileInfo bundle(vault.bundlePath);
        folders << bundle.absolutePath() << QFileInfo(bundle.absolutePath()).absolutePath();
    }
    folders.removeDuplicates();
    folders.removeIf([](const QString &folder) { return !QFileInfo(folder).isDir(); });
    const QStringList watched = m_watcher.directories();
    QStringList stale;
    for (const QString &folder : watched) {
        if (!folders.contains(folder))
            stale << folder;
    }
    if (!stale.isEmpty())
        m_watcher.removePaths(stale);
    QStringList added;
    for (const QString &folder : std::as_const(folders)) {
        if (!watched.contains(folder))
            added << folder;
    }
    if (!added.isEmpty())
        m_watcher.addPaths(added);
}

VaultActions &VaultActions::shared()
{
    static VaultActions *actions = new VaultActions(VaultStore::shared());
    return *actions;
}

VaultActions *VaultActions::create(QQmlEngine *, QJSEngine *)
{
    QJSEngine::setObjectOwnership(&shared(), QJSEngine::CppOwnership);
    return &shared();
}

std::optional<Vault> VaultActions::find(const QString &id) const
{
    return m_store.vault(QUuid::fromString(id));
}

void VaultActions::unlock(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        m_store.requestUnlock(*vault);
}

void VaultActions::usePassword(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        m_store.setPasswordPromptVault(vault);
}

void VaultActions::lock(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        m_store.lock(*vault, false, u"manual"_qs);
}

void VaultActions::lockAll()
{
    m_store.lockAll(false, u"manual"_qs);
}

void VaultActions::openInFinder(const QString &id)
{
    const std::optional<Vault> vault = find(id);
    if (!vault)
        return;
    m_store.touchActivity(*vault);
    const auto mountPoint = m_store.mountPoints().constFind(vault->id);
    if (mountPoint != m_store.mountPoints().cend())
        m_store.openVaultFolder(*mountPoint);
}

void VaultActions::addExisting(const QUrl &location)
{
    if (location.isLocalFile())
        m_store.addExistingVault(QDir::cleanPath(location.toLocalFile()));
}

void VaultActions::relocate(const QString &id, const QUrl &location)
{
    const std::optional<Vault> vault = find(id);
    if (vault && location.isLocalFile())
        m_store.relocate(*vault, QDir::cleanPath(location.toLocalFile()));
}

void VaultActions::chooseExisting()
{
    FolderChooser::shared().choose(u"addExisting"_qs, u"Choose a vault file (.sparsebundle or .nosync)"_qs,
                                   u"Add Vault"_qs, documentsFolder());
}

void VaultActions::chooseLocation(const QString &id)
{
    const std::optional<Vault> vault = find(id);
    if (!vault)
        return;
    const QUrl folder = lastKnownFolder(id);
    FolderChooser::shared().choose(u"locate:"_qs + id,
                                   u"Choose the vault file for “%1” (.sparsebundle or .nosync)."_qs.arg(vault->name),
                                   u"Locate Vault"_qs, folder.isEmpty() ? documentsFolder() : folder);
}

void VaultActions::onFolderChosen(const QString &purpose, const QUrl &folder)
{
    if (purpose == QLatin1String("addExisting"))
        addExisting(folder);
    else if (purpose.startsWith(QLatin1String("locate:")))
        relocate(purpose.mid(7), folder);
}

void VaultActions::unlockFromTray(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        unlockInPromptWindow(*vault);
}

QCoro::Task<void> VaultActions::unlockInPromptWindow(Vault vault)
{
    m_promptsInWindow = true;
    co_await m_store.requestUnlock(vault);
    m_promptsInWindow = false;
    if (const std::optional<Vault> prompt = m_store.passwordPromptVault()) {
        m_store.setPasswordPromptVault(std::nullopt);
        UnlockPromptWindow::show(*prompt);
    }
}

void VaultActions::refreshUnlockedSizes()
{
    m_store.refreshUnlockedSizes();
}

void VaultActions::revealFile(const QString &id)
{
    const std::optional<Vault> vault = find(id);
    if (!vault)
        return;
    switch (VaultStore::fileState(*vault)) {
    case VaultFileState::Present:
        m_store.revealInFileManager(vault->bundlePath);
        break;
    case VaultFileState::Missing:
        Q_EMIT relocatedDialogRequested(QVariant::fromValue(*vault));
        break;
    case VaultFileState::WaitingForDisk:
        Q_EMIT waitingDialogRequested(QVariant::fromValue(*vault));
        break;
    }
}

void VaultActions::forget(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        authenticateThenConfirmForget(*vault);
}

QCoro::Task<bool> VaultActions::ownerAllowsRemoval(Vault vault)
{
    if (!vault.requireTouchID)
        co_return true;
    co_return co_await m_store.authenticateOwner(u"remove the vault “%1” from the list"_qs.arg(vault.name));
}

QCoro::Task<void> VaultActions::authenticateThenConfirmForget(Vault vault)
{
    const bool allowed = co_await ownerAllowsRemoval(vault);
    if (allowed)
        Q_EMIT forgetConfirmationRequested(QVariant::fromValue(vault));
}

void VaultActions::trash(const QString &id)
{
    const std::optional<Vault> vault = find(id);
    if (!vault)
        return;
    if (QFileInfo::exists(vault->bundlePath))
        Q_EMIT deleteRequested(QVariant::fromValue(*vault));
    else
        Q_EMIT forgetConfirmationRequested(QVariant::fromValue(*vault));
}

void VaultActions::removeFromList(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        m_store.removeFromList(*vault);
}

void VaultActions::removeFromListAfterAuthentication(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        authenticateThenRemove(*vault);
}

QCoro::Task<void> VaultActions::authenticateThenRemove(Vault vault)
{
    const bool allowed = co_await ownerAllowsRemoval(vault);
    if (allowed)
        co_await m_store.removeFromList(vault);
}

void VaultActions::setCloudExclusion(const QString &id, bool excluded)
{
    if (const std::optional<Vault> vault = find(id))
        m_store.setCloudExclusion(*vault, excluded);
}

void VaultActions::startUp()
{
    discoverThenAutoOpen();
}

QCoro::Task<void> VaultActions::discoverThenAutoOpen()
{
    // Discover what is already attached, then unlock the vaults marked for it.
    co_await m_store.refresh();
    co_await m_store.autoOpenFavorites();
}

QString VaultActions::fileState(const QString &id) const
{
    const std::optional<Vault> vault = find(id);
    if (!vault)
        return u"present"_qs;
    switch (VaultStore::fileState(*vault)) {
    case VaultFileState::Present:
        return u"present"_qs;
    case VaultFileState::Missing:
        return u"missing"_qs;
    case VaultFileState::WaitingForDisk:
        break;
    }
    return u"waitingForDisk"_qs;
}

QVariant VaultActions::vault(const QString &id) const
{
    const std::optional<Vault> vault = find(id);
    return vault ? QVariant::fromValue(*vault) : QVariant();
}

QUrl VaultActions::lastKnownFolder(const QString &id) const
{
    const std::optional<Vault> vault = find(id);
    if (!vault)
        return {};
    const QString folder = QFileInfo(vault->bundlePath).path();
    return QFileInfo(folder).isDir() ? QUrl::fromLocalFile(folder) : QUrl();
}

void VaultActions::showUnlockPrompt(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        UnlockPromptWindow::show(*vault);
}

void VaultActions::closeUnlockPrompt()
{
    UnlockPromptWindow::close();
}

void VaultActions::unlockWithPassword(const QString &id, const QString &password, bool saveToKeychain)
{
    if (const std::optional<Vault> vault = find(id))
        unlockAndReport(*vault, password, saveToKeychain);
}

QCoro::Task<void> VaultActions::unlockAndReport(Vault vault, QString password, bool saveToKeychain)
{
    const Outcome outcome = co_await m_store.unlock(vault, password, saveToKeychain, u"password"_qs);
    Q_EMIT unlockFinished(vault.idText(), outcome.succeeded(), outcome.failure.value_or(QString()));
}

void VaultActions::createVault(const QString &name, const QUrl &folder, qint64 maxSizeMB,
                               const QString &password, const QString &hint, bool saveToKeychain,
                               bool excludeFromCloud)
{
    createAndList(VaultRules::trimmedName(name), QDir::cleanPath(folder.toLocalFile()), maxSizeMB, password,
                  hint, saveToKeychain, excludeFromCloud);
}

QCoro::Task<void> VaultActions::createAndList(QString name, QString folder, qint64 maxSizeMB,
                                              QString password, QString hint, bool saveToKeychain,
                                              bool excludeFromCloud)
{
    if (VaultRules::nameCollides(folder, name)) {
        m_store.setErrorMessage(VaultRules::nameCollisionMessage(name));
        Q_EMIT createFinished(false);
        co_return;
    }
    const QString image = folder + QLatin1Char('/') + name + u".sparsebundle"_qs;
    std::optional<QString> failure;
    try {
        co_await DiskImage::create(image, name, maxSizeMB, password);
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    QString location = image;
    if (!failure && excludeFromCloud) {
        try {
            location = CloudExclusion::exclude(image);
        } catch (const std::exception &error) {
            failure = describeError(error);
        }
    }
    if (failure) {
        m_store.setErrorMessage(failure);
        Q_EMIT createFinished(false);
        co_return;
    }
    Vault vault;
    vault.id = QUuid::createUuid();
    vault.name = name;
    vault.bundlePath = location;
    vault.maxSizeMB = maxSizeMB;
    vault.createdAt = Timestamp::now();
    vault.excludedFromCloud = excludeFromCloud;
    vault.passwordHint = VaultRules::normalizedPasswordHint(hint);
    m_store.appendVault(vault);
    UserDefaults::standard().setValue(SettingsKeys::lastVaultFolder, folder);
    if (saveToKeychain)
        co_await Keychain::savePassword(password, vault.id);
    // The sheet stays open when the refresh brought a failure of its own, for the alert to say it.
    const std::optional<QString> before = m_store.errorMessage();
    co_await m_store.refresh();
    Q_EMIT createFinished(!m_store.errorMessage() || m_store.errorMessage() == before);
}

void VaultActions::copyToClipboard(const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
}

QUrl VaultActions::documentsFolder()
{
    const QString documents = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation).value(0);
    return QUrl::fromLocalFile(QFileInfo(documents).isDir() ? documents : QDir::homePath());
}

QUrl VaultActions::newVaultFolder()
{
    const std::optional<QString> last = UserDefaults::standard().stringValue(SettingsKeys::lastVaultFolder);
    return last && QFileInfo(*last).isDir() ? QUrl::fromLocalFile(*last) : documentsFolder();
}

void VaultActions::closePasswordPrompt()
{
    m_store.setPasswordPromptVault(std::nullopt);
}

bool VaultActions::isInsideICloudDrive(const QUrl &folder)
{
    return CloudExclusion::isInsideICloudDrive(folder.toLocalFile() + QLatin1Char('/'));
}

void VaultActions::prefillPassword(const QString &id, const QString &reason)
{
    if (const std::optional<Vault> vault = find(id))
        prefill(*vault, reason);
}

QCoro::Task<void> VaultActions::prefill(Vault vault, QString reason)
{
    const std::optional<QString> saved = co_await Keychain::password(vault.id);
    if (!saved)
        co_return;
    if (vault.requireTouchID) {
        const bool authenticated = co_await m_store.authenticateOwner(reason);
        if (!authenticated)
            co_return;
    }
    Q_EMIT passwordPrefilled(vault.idText(), reason, *saved);
}

void VaultActions::checkSavedPassword(const QString &id)
{
    if (const std::optional<Vault> vault = find(id))
        reportSavedPassword(*vault);
}

QCoro::Task<void> VaultActions::reportSavedPassword(Vault vault)
{
    const std::optional<QString> saved = co_await Keychain::password(vault.id);
    Q_EMIT savedPasswordChecked(vault.idText(), saved.has_value(), saved.value_or(QString()));
}

void VaultActions::report(const QString &operation, const Vault &vault, const Outcome &outcome)
{
    Q_EMIT finished(operation, vault.idText(), outcome.succeeded(), outcome.failure.value_or(QString()));
}

void VaultActions::compact(const QString &id, const QString &password)
{
    if (const std::optional<Vault> vault = find(id))
        compactAndReport(*vault, password);
}

QCoro::Task<void> VaultActions::compactAndReport(Vault vault, QString password)
{
    const std::shared_ptr<DiskImage::StopSwitch> stop = beginStoppable(vault.idText(), u"compact"_qs);
    Outcome outcome = co_await m_store.compact(vault, password, stop.get());
    endStoppable(vault.idText());
    if (outcome.failure == DiskImageError::stopped().errorDescription())
        outcome.failure = u"Stopped. The space given back until then stays free."_qs;
    report(u"compact"_qs, vault, outcome);
}

std::shared_ptr<DiskImage::StopSwitch> VaultActions::beginStoppable(const QString &id, const QString &operation)
{
    auto stop = std::make_shared<DiskImage::StopSwitch>();
    m_stoppable.insert(id, StoppableRun{stop, operation, -1, QString()});
    Q_EMIT stoppableWorkChanged();
    return stop;
}

void VaultActions::endStoppable(const QString &id)
{
    if (m_stoppable.remove(id))
        Q_EMIT stoppableWorkChanged();
}

void VaultActions::stop(const QString &id)
{
    if (const auto running = m_stoppable.constFind(id); running != m_stoppable.cend())
        running->stop->pull();
}

QVariantMap VaultActions::stoppableWork() const
{
    QVariantMap work;
    for (auto running = m_stoppable.cbegin(); running != m_stoppable.cend(); ++running)
        work.insert(running.key(), QVariantMap{{u"operation"_s, running->operation},
                                               {u"percent"_s, running->percent},
                                               {u"stage"_s, running->stage}});
    return work;
}

void VaultActions::moveToTrash(const QString &id, const QString &password)
{
    if (const std::optional<Vault> vault = find(id))
        checkThenTrash(*vault, password);
}

QCoro::Task<void> VaultActions::checkThenTrash(Vault vault, QString password)
{
    std::optional<QString> failure;
    try {
        co_await DiskImage::verifyPassword(vault.bundlePath, password);
    } catch (const DiskImageError &error) {
        failure = error.kind() == DiskImageError::Kind::BadPassword
                      ? u"Wrong password — the vault was not deleted."_qs
                      : error.errorDescription();
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    if (failure) {
        Q_EMIT finished(u"trash"_qs, vault.idText(), false, *failure);
        co_return;
    }
    co_await m_store.deleteVault(vault);
    // The sheet closes whatever the store reports; its failures show in the error alert.
    Q_EMIT finished(u"trash"_qs, vault.idText(), true, QString());
}

void VaultActions::verify(const QString &id, const QString &password)
{
    if (const std::optional<Vault> vault = find(id))
        verifyAndReport(*vault, password);
}

QCoro::Task<void> VaultActions::verifyAndReport(Vault vault, QString password)
{
    QString verdict = u"Vault is healthy — filesystem check passed."_qs;
    bool healthy = true;
    // Busy meanwhile: the vault is attached out of sight, so nothing else may open or change it.
    const BusyMark busy(m_store, vault.id);
    const std::shared_ptr<DiskImage::StopSwitch> stop = beginStoppable(vault.idText(), u"verify"_qs);
    try {
        // Named: g++ 12 destroys a temporary made inside an awaited call twice.
        const DiskImage::ProgressObserver report = [this, id = vault.idText()](int percent, const QString &stage) {
            Q_EMIT progress(u"verify"_qs, id, percent, stage);
        };
        co_await DiskImage::verify(vault.bundlePath, password, report, stop.get());
    } catch (const DiskImageError &error) {
        healthy = false;
        verdict = error.kind() == DiskImageError::Kind::Stopped
                      ? u"The check was stopped before it finished; nothing was changed."_qs
                      : error.errorDescription();
    } catch (const std::exception &error) {
        healthy = false;
        verdict = describeError(error);
    }
    endStoppable(vault.idText());
    Q_EMIT finished(u"verify"_qs, vault.idText(), healthy, verdict);
}

void VaultActions::changePassword(const QString &id, const QString &oldPassword, const QString &newPassword,
                                  const QString &hint)
{
    if (const std::optional<Vault> vault = find(id))
        rekeyAndReport(*vault, oldPassword, newPassword, hint);
}

QCoro::Task<void> VaultActions::rekeyAndReport(Vault vault, QString oldPassword, QString newPassword,
                                               QString hint)
{
    const Outcome outcome = co_await m_store.changePassword(vault, oldPassword, newPassword);
    // A failed change leaves the stored hint as it was.
    if (outcome)
        m_store.updatePasswordHint(vault, VaultRules::normalizedPasswordHint(hint));
    report(u"changePassword"_qs, vault, outcome);
}

void VaultActions::rename(const QString &id, const QString &newName, const QString &password)
{
    if (const std::optional<Vault> vault = find(id))
        renameAndReport(*vault, VaultRules::trimmedName(newName), password);
}

QCoro::Task<void> VaultActions::renameAndReport(Vault vault, QString newName, QString password)
{
    report(u"rename"_qs, vault, co_await m_store.rename(vault, newName, password));
}

void VaultActions::resize(const QString &id, qint64 newSizeMB, const QString &password)
{
    if (const std::optional<Vault> vault = find(id))
        resizeAndReport(*vault, newSizeMB, password);
}

QCoro::Task<void> VaultActions::resizeAndReport(Vault vault, qint64 newSizeMB, QString password)
{
    report(u"resize"_qs, vault, co_await m_store.resize(vault, newSizeMB, password));
}

void VaultActions::saveSettings(const QString &id, bool requireTouchID, bool openInFinder, bool autoOpen,
                                const QString &hint)
{
    const std::optional<Vault> vault = find(id);
    if (!vault)
        return;
    m_store.updateOptions(*vault, requireTouchID, openInFinder, autoOpen);
    m_store.updatePasswordHint(*vault, VaultRules::normalizedPasswordHint(hint));
}

qint64 VaultActions::recordedSize(const QString &id) const
{
    return m_store.sizesOnDisk().value(QUuid::fromString(id), 0);
}

void VaultActions::findLowestLimit(const QString &id, const QString &password)
{
    if (const std::optional<Vault> vault = find(id); vault && !m_store.isUnlocked(vault->id))
        reportLowestLimit(*vault, password);
}

QCoro::Task<void> VaultActions::reportLowestLimit(Vault vault, QString password)
{
    qint64 megabytes = 0;
    try {
        megabytes = co_await DiskImage::lowestLimitMB(vault.bundlePath, password);
    } catch (const DiskImageError &) {
        co_return; // a password still being typed, or a vault in use: the estimate stays
    }
    Q_EMIT lowestLimitFound(vault.idText(), megabytes);
}

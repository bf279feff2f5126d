#pragma once

#include "ActivityEvent.h"
#include "Vault.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>
#include <optional>

class UserDefaults;
namespace DiskImage {
class StopSwitch;
}

// Where a vault's file is, as far as the program can tell.
enum class VaultFileState {
    Present,        // something exists at its path
    Missing,        // nothing there, but the disk the path lies on is connected: it moved
    WaitingForDisk, // the removable disk holding it is not connected
};

// The dialogs the store shows when a vault's file is not where it should be. The window answers
// them; each returns when the user has.
class VaultFileDialogs
{
public:
    virtual ~VaultFileDialogs() = default;
    virtual QCoro::Task<void> presentWaiting(Vault vault) = 0;
    virtual QCoro::Task<void> presentRelocated(Vault vault) = 0;
};

// What became of one operation, for whoever asked for it: the shared error text may meanwhile hold
// another operation's failure, or one left from before.
struct Outcome
{
    std::optional<QString> failure;
    [[nodiscard]] bool succeeded() const { return !failure; }
    explicit operator bool() const { return succeeded(); }
};

// The one controller of the vaults: the list, which are unlocked and where, their sizes, the busy
// set, the one error text and the activity log. Every operation runs on the main thread and
// suspends only while a tool runs.
class VaultStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantList vaults READ vaultValues NOTIFY vaultsChanged)
    Q_PROPERTY(QVariantMap mountPoints READ mountPointValues NOTIFY mountPointsChanged)
    Q_PROPERTY(QVariantMap sizesOnDisk READ sizeValues NOTIFY sizesOnDiskChanged)
    // Cheap to read from every card: a list of a thousand vaults must not be copied per card.
    Q_PROPERTY(int vaultCount READ vaultCount NOTIFY vaultsChanged)
    Q_PROPERTY(qint64 totalSizeOnDisk READ totalSizeOnDisk NOTIFY sizesOnDiskChanged)
    Q_PROPERTY(QStringList busyVaults READ busyValues NOTIFY busyVaultsChanged)
    Q_PROPERTY(
        QString errorMessage READ errorMessageText WRITE setErrorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(QVariant passwordPromptVault READ passwordPromptValue NOTIFY passwordPromptVaultChanged)
    Q_PROPERTY(QVariantList activity READ activityValues NOTIFY activityChanged)
    Q_PROPERTY(bool newVaultRequested READ newVaultRequested WRITE setNewVaultRequested NOTIFY
                   newVaultRequestedChanged)

public:
    // The two repeating timers: the auto-lock tick and the size refresh.
    static constexpr int autoLockIntervalMs = 60 * 1000;
    static constexpr int sizeRefreshIntervalMs = 4 * 1000;

    // Opens <applicationSupport>/Hollowkeep/vaults.json and the activity log in the preferences.
    VaultStore(UserDefaults &defaults, const QString &applicationSupport, bool startTimers = true,
               QObject *parent = nullptr);
    ~VaultStore() override;

    // The application's store, created on first use.
    [[nodiscard]] static VaultStore &shared();

    // ---- state ----
    [[nodiscard]] const QList<Vault> &vaults() const { return m_vaults; }
    [[nodiscard]] std::optional<Vault> vault(const QUuid &id) const;
    // Replaces the list; the caller saves it (the create sheet and the forget action do).
    void setVaults(const QList<Vault> &vaults);
    // Adds a vault to the end of the list and saves the list.
    void appendVault(const Vault &vault);
    [[nodiscard]] const QHash<QUuid, QString> &mountPoints() const { return m_mountPoints; }
    [[nodiscard]] bool isUnlocked(const QUuid &id) const { return m_mountPoints.contains(id); }
    [[nodiscard]] const QHash<QUuid, qint64> &sizesOnDisk() const { return m_sizesOnDisk; }
    [[nodiscard]] int vaultCount() const { return int(m_vaults.size()); }
    [[nodiscard]] qint64 totalSizeOnDisk() const { return m_totalSizeOnDisk; }
    [[nodiscard]] const QSet<QUuid> &busyVaults() const { return m_busyVaults; }
    [[nodiscard]] bool isBusy(const QUuid &id) const { return m_busyVaults.contains(id); }
    [[nodiscard]] const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    void setErrorMessage(const std::optional<QString> &message);
    [[nodiscard]] const std::optional<Vault> &passwordPromptVault() const { return m_passwordPromptVault; }
    void setPasswordPromptVault(const std::optional<Vault> &vault);
    [[nodiscard]] const QList<ActivityEvent> &activity() const { return m_activity; }
    [[nodiscard]] bool newVaultRequested() const { return m_newVaultRequested; }
    void setNewVaultRequested(bool requested);
    [[nodiscard]] QString storeURL() const { return m_storeURL; }
    [[nodiscard]] std::optional<Timestamp> unlockedAt(const QUuid &id) const;

    // ---- unlock and lock ----
    QCoro::Task<void> refresh();
    // Only what is attached, without measuring sizes.
    QCoro::Task<void> refreshMountPoints();
    // Whether a look at what is attached has completed since the store was created.
    [[nodiscard]] bool knowsMountPoints() const { return m_knowsMountPoints; }
    QCoro::Task<Outcome> requestUnlock(Vault vault);
    // Owner authentication before a saved password is used; when nobody can be asked, the error
    // text says why.
    QCoro::Task<bool> authenticateOwner(QString reason);
    QCoro::Task<Outcome> unlock(Vault vault, QString password, bool saveToKeychain, QString method);
    QCoro::Task<Outcome> lock(Vault vault, bool quiet, QString reason);
    QCoro::Task<Outcome> lockAll(bool quiet, QString reason);
    // Opens a folder in the file manager; returns at once.
    void openVaultFolder(const QString &path);
    // Shows a file or folder selected in its folder; returns at once.
    void revealInFileManager(const QString &path);
    void save();
    void recordActivity(const QString &text);

    // ---- maintenance ----
    void addExistingVault(const QString &path);
    void relocate(const Vault &vault, const QString &path);
    QCoro::Task<Outcome> deleteVault(Vault vault);
    QCoro::Task<Outcome> rename(Vault vault, QString newName, QString password);
    QCoro::Task<Outcome> resize(Vault vault, qint64 newSizeMB, QString password);
    // Stops part-way, where stopping is safe, when the switch is pulled: the outcome then fails
    // quietly with DiskImageError::stopped's text.
    QCoro::Task<Outcome> compact(Vault vault, QString password, DiskImage::StopSwitch *stop = nullptr);
    QCoro::Task<Outcome> changePassword(Vault vault, QString oldPassword, QString newPassword);
    void updateOptions(const Vault &vault, bool requireTouchID, bool openInFinderAfterUnlock,
                       bool autoOpenAtLaunch);
    void updatePasswordHint(const Vault &vault, const std::optional<QString> &hint);
    void setCloudExclusion(const Vault &vault, bool excluded);
    // Forgets a vault: its saved password and its record. The file stays where it is.
    QCoro::Task<void> removeFromList(Vault vault);

    // ---- idle clock, timers and launch ----
    void touchActivity(const Vault &vault);
    QCoro::Task<void> autoLockTick();
    QCoro::Task<void> refreshUnlockedSizes();
    QCoro::Task<void> autoOpenFavorites();

    [[nodiscard]] static VaultFileState fileState(const Vault &vault);

    // Work started without a caller awaiting it (refreshes after adding or relocating, folder
    // opening, the timers' ticks) that has not finished yet.
    [[nodiscard]] int backgroundWork() const { return m_backgroundWork; }

    // What the store asks the window for; without dialogs it shows nothing.
    void setFileDialogs(VaultFileDialogs *dialogs) { m_fileDialogs = dialogs; }
    // The time the idle clocks use; tests drive it.
    using Clock = std::function<Timestamp()>;
    void setClock(Clock clock) { m_clock = std::move(clock); }

Q_SIGNALS:
    void vaultsChanged();
    // How far a long operation on a vault is: a percentage and what it is doing.
    void progressed(const QUuid &id, const QString &operation, int percent, const QString &stage);
    void mountPointsChanged();
    void sizesOnDiskChanged();
    void busyVaultsChanged();
    void errorMessageChanged();
    void passwordPromptVaultChanged();
    void activityChanged();
    void newVaultRequestedChanged();
    void backgroundWorkFinished();
    void lockAllFinished();
    // Nothing could show that path: no file manager or opener is installed.
    void fileManagerMissing(const QString &path);

private:
    friend class BusyMark;

    [[nodiscard]] Timestamp now() const { return m_clock ? m_clock() : Timestamp::now(); }
    [[nodiscard]] qsizetype indexOf(const QUuid &id) const;
    // Applies a change to the current record of a vault and saves; false when it is gone.
    bool updateRecord(const QUuid &id, const std::function<void(Vault &)> &change);
    void setBusy(const QUuid &id, bool busy);
    void setMountPoint(const QUuid &id, const std::optional<QString> &mountPoint);
    void setSize(const QUuid &id, qint64 bytes);
    // Keeps the sizes, and so their total, to the vaults in the list.
    void forgetSizesOfRemovedVaults();
    // Shows the waiting-for-disk or the moved-file dialog for a vault whose file is not there.
    QCoro::Task<void> presentMissingFile(Vault vault);
    QCoro::Task<qint64> usedBytes(Vault vault);
    QCoro::Task<void> showInFileManager(QString path, bool selected);
    // Starts work that nobody awaits, keeping count of it.
    void startInBackground(QCoro::Task<void> &&work);
    // Shows the failure in the shared error text (unless quiet) and returns it as the outcome.
    Outcome failed(const QString &text, bool quiet = false);
    // Awaits maintenance work and turns any failure into the error text.
    QCoro::Task<Outcome> reportFailure(QCoro::Task<void> &&work);
    QCoro::Task<void> renameImage(Vault vault, QString newName, QString password, QString target);
    QCoro::Task<void> resizeImage(Vault vault, qint64 newSizeMB, QString password);
    QCoro::Task<void> compactImage(Vault vault, QString password, DiskImage::StopSwitch *stop);
    [[nodiscard]] std::function<void(int, const QString &)> progressReporter(const QUuid &id, const QString &operation);
    QCoro::Task<void> rekeyImage(Vault vault, QString oldPassword, QString newPassword);

    [[nodiscard]] QVariantList vaultValues() const;
    [[nodiscard]] QVariantMap mountPointValues() const;
    [[nodiscard]] QVariantMap sizeValues() const;
    [[nodiscard]] QStringList busyValues() const;
    [[nodiscard]] QString errorMessageText() const { return m_errorMessage.value_or(QString()); }
    void setErrorMessageText(const QString &text);
    [[nodiscard]] QVariant passwordPromptValue() const;
    [[nodiscard]] QVariantList activityValues() const;

    UserDefaults &m_defaults;
    QList<Vault> m_vaults;
    QHash<QUuid, QString> m_mountPoints;
    QHash<QUuid, qint64> m_sizesOnDisk;
    QSet<QUuid> m_busyVaults;
    // Operations under way per vault: one request may hold the mark across several steps.
    QHash<QUuid, int> m_busyCounts;
    qint64 m_totalSizeOnDisk = 0;
    bool m_lockingAll = false;
    // Counts the unlocks and locks, so that a slower look at the tables does not undo one.
    quint64 m_mountChanges = 0;
    bool m_knowsMountPoints = false;
    std::optional<QString> m_errorMessage;
    std::optional<Vault> m_passwordPromptVault;
    QList<ActivityEvent> m_activity;
    bool m_newVaultRequested = false;

    bool m_didAutoOpen = false;
    QHash<QUuid, Timestamp> m_unlockedAt;
    QString m_storeURL;
    QTimer m_autoLockTimer;
    QTimer m_sizeTimer;
    VaultFileDialogs *m_fileDialogs = nullptr;
    Clock m_clock;
    int m_backgroundWork = 0;
};

// Marks a vault busy for as long as it lives, so that every way out of an operation unmarks it.
class BusyMark
{
public:
    BusyMark(VaultStore &store, const QUuid &id);
    ~BusyMark();
    BusyMark(const BusyMark &) = delete;
    BusyMark &operator=(const BusyMark &) = delete;

private:
    VaultStore &m_store;
    QUuid m_id;
};

#pragma once

#include "diskimage/DiskImage.h"
#include "store/VaultStore.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>
#include <QtQmlIntegration>

#include <memory>

class QQmlEngine;
class QJSEngine;

// What the vault views call. The store operations that take time start here and return at once;
// the main window owns the sheets and alerts and reacts to the signals.
class VaultActions : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // Moves whenever what a card shows may have changed without a store signal: a vault file or
    // its folder appeared or went, a disk was plugged in or out, or time passed ("opened … ago").
    Q_PROPERTY(int outsideChanges READ outsideChanges NOTIFY outsideChangesChanged)
    // Long work that can stop part-way, by vault id: {operation, percent, stage} while it runs
    // (percent -1 until the tool first says how far it is).
    Q_PROPERTY(QVariantMap stoppableWork READ stoppableWork NOTIFY stoppableWorkChanged)

public:
    explicit VaultActions(VaultStore &store, QObject *parent = nullptr);
    [[nodiscard]] static VaultActions &shared();
    static VaultActions *create(QQmlEngine *, QJSEngine *);

    Q_INVOKABLE void unlock(const QString &id);
    Q_INVOKABLE void usePassword(const QString &id);
    Q_INVOKABLE void lock(const QString &id);
    Q_INVOKABLE void lockAll();
    Q_INVOKABLE void openInFinder(const QString &id);
    Q_INVOKABLE void addExisting(const QUrl &location);
    Q_INVOKABLE void relocate(const QString &id, const QUrl &location);
    // The file choosers for these two, from any window: the folder picked goes to the calls above.
    Q_INVOKABLE void chooseExisting();
    Q_INVOKABLE void chooseLocation(const QString &id);
    // Unlock from the tray: a password that must be typed is asked in the stand-alone window,
    // never in a sheet of the main window.
    Q_INVOKABLE void unlockFromTray(const QString &id);
    // True while such an unlock runs: the main window then leaves the prompt to that window.
    Q_INVOKABLE bool promptsInWindow() const { return m_promptsInWindow; }
    // The sizes of unlocked vaults, measured now (the tray panel when it opens).
    Q_INVOKABLE void refreshUnlockedSizes();
    // Shows the vault file in the file manager, or asks for the dialog that explains why not.
    Q_INVOKABLE void revealFile(const QString &id);
    // Asks for owner authentication when the vault needs it, then for the removal confirmation.
    Q_INVOKABLE void forget(const QString &id);
    // The delete sheet when the file exists, the removal confirmation when it is gone.
    Q_INVOKABLE void trash(const QString &id);
    // Removes a vault from the list: its saved password and record; the file stays.
    Q_INVOKABLE void removeFromList(const QString &id);
    // The same behind owner authentication, for the moved-file dialog.
    Q_INVOKABLE void removeFromListAfterAuthentication(const QString &id);
    Q_INVOKABLE void setCloudExclusion(const QString &id, bool excluded);
    Q_INVOKABLE void startUp();
    // Unlocks with a typed password; unlockFinished reports the outcome.
    Q_INVOKABLE void unlockWithPassword(const QString &id, const QString &password, bool saveToKeychain);
    // Creates a vault file, lists it and, when asked, remembers its password; createFinished reports
    // whether it worked (a failure is in the store's error message).
    Q_INVOKABLE void createVault(const QString &name, const QUrl &folder, qint64 maxSizeMB,
                                 const QString &password, const QString &hint, bool saveToKeychain,
                                 bool excludeFromCloud);
    Q_INVOKABLE static QUrl documentsFolder();
    // Where a new vault is proposed: the folder of the last one made, while it exists, else
    // Documents.
    Q_INVOKABLE static QUrl newVaultFolder();
    // Puts a path on the clipboard, for when no file manager can show it.
    Q_INVOKABLE static void copyToClipboard(const QString &text);
    // Fills a sheet's password field from the keychain (behind owner authentication when the vault
    // asks for it); passwordPrefilled delivers it.
    Q_INVOKABLE void prefillPassword(const QString &id, const QString &reason);
    // Whether a password is saved for the vault, and which (for checking a hint against it):
    // savedPasswordChecked delivers the answer.
    Q_INVOKABLE void checkSavedPassword(const QString &id);
    // The sheets' operations; each reports through finished(operation, id, succeeded, text).
    Q_INVOKABLE void compact(const QString &id, const QString &password);
    Q_INVOKABLE void moveToTrash(const QString &id, const QString &password);
    Q_INVOKABLE void verify(const QString &id, const QString &password);
    // Asks the vault's stoppable work to stop where that is safe; it then reports as finished,
    // not succeeded, with a text that says it stopped.
    Q_INVOKABLE void stop(const QString &id);
    Q_INVOKABLE void changePassword(const QString &id, const QString &oldPassword, const QString &newPassword,
                                    const QString &hint);
    Q_INVOKABLE void rename(const QString &id, const QString &newName, const QString &password);
    Q_INVOKABLE void resize(const QString &id, qint64 newSizeMB, const QString &password);
    Q_INVOKABLE void saveSettings(const QString &id, bool requireTouchID, bool openInFinder, bool autoOpen,
                                  const QString &hint);
    Q_INVOKABLE qint64 recordedSize(const QString &id) const;
    // Works out how far a locked vault's limit can be lowered; lowestLimitFound answers when the
    // password opens it.
    Q_INVOKABLE void findLowestLimit(const QString &id, const QString &password);
    // The unlock sheet in a window of its own, and closing it.
    Q_INVOKABLE void showUnlockPrompt(const QString &id);
    Q_INVOKABLE static void closeUnlockPrompt();
    // The view that asked for a typed password has closed.
    Q_INVOKABLE void closePasswordPrompt();
    Q_INVOKABLE static bool isInsideICloudDrive(const QUrl &folder);

    // "present", "missing" or "waitingForDisk".
    Q_INVOKABLE QString fileState(const QString &id) const;
    Q_INVOKABLE QVariant vault(const QString &id) const;
    // The folder the vault file was last known in, when it still exists.
    Q_INVOKABLE QUrl lastKnownFolder(const QString &id) const;

    [[nodiscard]] int outsideChanges() const { return m_outsideChanges; }
    [[nodiscard]] QVariantMap stoppableWork() const;

Q_SIGNALS:
    void outsideChangesChanged();
    void stoppableWorkChanged();
    void forgetConfirmationRequested(const QVariant &vault);
    void deleteRequested(const QVariant &vault);
    void relocatedDialogRequested(const QVariant &vault);
    void waitingDialogRequested(const QVariant &vault);
    void unlockFinished(const QString &id, bool unlocked, const QString &failure);
    void createFinished(bool created);
    void passwordPrefilled(const QString &id, const QString &reason, const QString &password);
    void savedPasswordChecked(const QString &id, bool saved, const QString &password);
    void finished(const QString &operation, const QString &id, bool succeeded, const QString &text);
    // How far a long operation is: a percentage and what it is doing.
    void progress(const QString &operation, const QString &id, int percent, const QString &stage);
    void lowestLimitFound(const QString &id, qint64 megabytes);

private:
    [[nodiscard]] std::optional<Vault> find(const QString &id) const;
    // Owner authentication before a vault leaves the list, when the vault asks for it.
    QCoro::Task<bool> ownerAllowsRemoval(Vault vault);
    QCoro::Task<void> authenticateThenConfirmForget(Vault vault);
    QCoro::Task<void> authenticateThenRemove(Vault vault);
    QCoro::Task<void> discoverThenAutoOpen();
    QCoro::Task<void> prefill(Vault vault, QString reason);
    QCoro::Task<void> reportSavedPassword(Vault vault);
    QCoro::Task<void> compactAndReport(Vault vault, QString password);
    QCoro::Task<void> checkThenTrash(Vault vault, QString password);
    QCoro::Task<void> verifyAndReport(Vault vault, QString password);
    QCoro::Task<void> rekeyAndReport(Vault vault, QString oldPassword, QString newPassword, QString hint);
    QCoro::Task<void> renameAndReport(Vault vault, QString newName, QString password);
    QCoro::Task<void> resizeAndReport(Vault vault, qint64 newSizeMB, QString password);
    QCoro::Task<void> reportLowestLimit(Vault vault, QString password);
    // The store's error message after an operation: empty when it succeeded.
    void report(const QString &operation, const Vault &vault, const Outcome &outcome);
    QCoro::Task<void> unlockAndReport(Vault vault, QString password, bool saveToKeychain);
    QCoro::Task<void> unlockInPromptWindow(Vault vault);
    void onFolderChosen(const QString &purpose, const QUrl &folder);
    QCoro::Task<void> createAndList(QString name, QString folder, qint64 maxSizeMB, QString password,
                                    QString hint, bool saveToKeychain, bool excludeFromCloud);

    // Long work that can stop: registered for its run, so that the sheet and the tray can stop it.
    struct StoppableRun
    {
        std::shared_ptr<DiskImage::StopSwitch> stop;
        QString operation;
        int percent = -1;
        QString stage;
    };
    [[nodiscard]] std::shared_ptr<DiskImage::StopSwitch> beginStoppable(const QString &id, const QString &operation);
    void endStoppable(const QString &id);

    // Watches the folders the listed vault files and the removable disks live in.
    void watchVaultFolders();
    void noteOutsideChange();

    VaultStore &m_store;
    QFileSystemWatcher m_watcher;
    QTimer m_clock;
    QTimer m_settle;
    int m_outsideChanges = 0;
    QHash<QString, StoppableRun> m_stoppable;
    bool m_promptsInWindow = false;
};

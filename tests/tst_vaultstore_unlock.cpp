#include "StoreHarness.h"

#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/mount.h>

// Unlocking and locking through the store, with real vaults and a real Secret Service.
class TestVaultStoreUnlock : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    std::unique_ptr<StoreFixture> m_fixture;
    RecordingFileManager m_fileManager;
    const QByteArray m_password = "store-pass";

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_fileManager.registerOnBus()); }
    void init() { m_fixture = std::make_unique<StoreFixture>(m_env); }
    void cleanup()
    {
        m_fixture.reset();
        detachEverything(m_env.root());
        clearFolders(m_env);
        m_fileManager.shown.clear();
    }

    void savedPasswordUnlocksWithoutAPrompt()
    {
        StoreFixture &f = *m_fixture;
        Vault vault = f.addVault(QStringLiteral("Keyed"), m_password);
        vault.openInFinderAfterUnlock = true;
        f.store.updateOptions(vault, false, true, false);
        savePassword(QString::fromUtf8(m_password), vault.id);

        QCoro::waitFor(f.store.requestUnlock(vault));
        const QString mountPoint = f.mountPoint(vault);
        QCOMPARE(mountPoint, m_env.home() + QStringLiteral("/Vaults/Keyed"));
        QVERIFY(!f.store.passwordPromptVault());
        QVERIFY(f.error().isEmpty());
        QCOMPARE(f.activityTexts(), QStringList{QStringLiteral("Keyed unlocked · Keychain")});
        QCOMPARE(f.store.unlockedAt(vault.id), f.clock);
        QVERIFY(f.store.busyVaults().isEmpty());
        // The unlock is remembered in the list file and the volume is kept out of the indexers.
        QCOMPARE(VaultList::load(f.store.storeURL()).first().lastOpenedAt, f.clock);
        QVERIFY(QFile::exists(mountPoint + QStringLiteral("/.metadata_never_index")));
        QVERIFY(QFile::exists(mountPoint + QStringLiteral("/.trackerignore")));
        // The folder opens in the file manager.
        QTRY_COMPARE(m_fileManager.shown, QStringList{QUrl::fromLocalFile(mountPoint).toString()});

        // Asking again for an unlocked vault does nothing.
        QCoro::waitFor(f.store.requestUnlock(vault));
        QCOMPARE(f.activityTexts().size(), 1);
    }

    void secondRequestDuringASlowKeyringLookupDoesNothing()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Raced"), m_password);
        savePassword(QString::fromUtf8(m_password), vault.id);
        // The keyring stops answering for a while, as a locked one does while it asks its password.
        const uint keyring =
            QDBusConnection::sessionBus().interface()->servicePid(QStringLiteral("org.freedesktop.secrets"));
        QVERIFY(keyring > 0);
        QCOMPARE(kill(pid_t(keyring), SIGSTOP), 0);
        auto resume = qScopeGuard([&] { kill(pid_t(keyring), SIGCONT); });
        auto first = f.store.requestUnlock(vault);
        auto second = f.store.requestUnlock(vault);
        QVERIFY(f.store.isBusy(vault.id));
        resume.dismiss();
        QCOMPARE(kill(pid_t(keyring), SIGCONT), 0);
        QCoro::waitFor(first);
        QCoro::waitFor(second);
        QVERIFY2(f.error().isEmpty(), qPrintable(f.error()));
        QCOMPARE(f.activityTexts(), QStringList{QStringLiteral("Raced unlocked · Keychain")});
        QVERIFY(f.store.busyVaults().isEmpty());
    }

    void aStoppedVolumeDoesNotHoldTheStore()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Frozen"), m_password);
        QVERIFY(QCoro::waitFor(
            f.store.unlock(vault, QString::fromUtf8(m_password), false, QStringLiteral("password"))));
        QProcess pgrep;
        pgrep.start(QStringLiteral("pgrep"),
                    {QStringLiteral("-f"), QStringLiteral("^[^ ]*fuse2fs .* ") + f.mountPoint(vault)});
        QVERIFY(pgrep.waitForFinished());
        const pid_t daemon = pid_t(pgrep.readAllStandardOutput().trimmed().toInt());
        QVERIFY(daemon > 0);
        QCOMPARE(kill(daemon, SIGSTOP), 0);
        const auto resume = qScopeGuard([&] { kill(daemon, SIGCONT); });
        QElapsedTimer clock;
        clock.start();
        QCoro::waitFor(f.store.refresh());
        QVERIFY2(clock.elapsed() < 15000, "a refresh waited for a stopped volume");
        QVERIFY(f.store.isUnlocked(vault.id));
    }

    void typedPasswordPromptsAndCanBeSaved()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Typed"), m_password);
        QSignalSpy prompts(&f.store, &VaultStore::passwordPromptVaultChanged);
        QCoro::waitFor(f.store.requestUnlock(vault));
        QCOMPARE(f.store.passwordPromptVault()->id, vault.id);
        QVERIFY(!f.store.isUnlocked(vault.id));
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());

        QVERIFY(QCoro::waitFor(
            f.store.unlock(vault, QString::fromUtf8(m_password), true, QStringLiteral("password"))));
        QCOMPARE(f.activityTexts().first(), QStringLiteral("Typed unlocked · password"));
        QCOMPARE(savedPassword(vault.id), QString::fromUtf8(m_password));
        QCOMPARE(prompts.count(), 1);
    }

    void ownerAuthenticationGatesTheSavedPassword()
    {
        StoreFixture &f = *m_fixture;
        ScriptedAuthentication authentication;
        const Vault vault = f.addVault(QStringLiteral("Guarded"), m_password);
        f.store.updateOptions(vault, true, false, false);
        savePassword(QString::fromUtf8(m_password), vault.id);

        authentication.answer = false;
        QCoro::waitFor(f.store.requestUnlock(f.current(vault)));
        QCOMPARE(authentication.reasons, QStringList{QStringLiteral("unlock the vault “Guarded”")});
        QVERIFY(!f.store.isUnlocked(vault.id));
        QVERIFY(!f.store.passwordPromptVault());
        QVERIFY(f.activityTexts().isEmpty());
        QVERIFY(f.error().isEmpty());

        authentication.answer = true;
        QCoro::waitFor(f.store.requestUnlock(f.current(vault)));
        QCOMPARE(authentication.reasons.size(), 2);
        QVERIFY(f.store.isUnlocked(vault.id));
        QCOMPARE(f.activityTexts(), QStringList{QStringLiteral("Guarded unlocked · Touch ID")});
    }

    void wrongPasswordsAreForgotten()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Stale"), m_password);
        savePassword(QStringLiteral("outdated"), vault.id);
        QCoro::waitFor(f.store.requestUnlock(vault));
        QCOMPARE(f.error(), QStringLiteral("Wrong password for “Stale”."));
        QVERIFY(!f.store.passwordPromptVault());
        QVERIFY(!savedPassword(vault.id));
        QVERIFY(f.store.busyVaults().isEmpty());
        // The next request asks for the password.
        f.store.setErrorMessage(std::nullopt);
        QCoro::waitFor(f.store.requestUnlock(vault));
        QCOMPARE(f.store.passwordPromptVault()->id, vault.id);

        // A wrong typed password also removes a saved one.
        savePassword(QString::fromUtf8(m_password), vault.id);
        QVERIFY(!QCoro::waitFor(
            f.store.unlock(vault, QStringLiteral("typo"), false, QStringLiteral("password"))));
        QCOMPARE(f.error(), QStringLiteral("Wrong password for “Stale”."));
        QVERIFY(!savedPassword(vault.id));
        QVERIFY(f.activityTexts().isEmpty());
    }

    void lockAllLocksInListOrder()
    {
        StoreFixture &f = *m_fixture;
        QList<Vault> vaults;
        for (const char *name : {"First", "Second", "Third"}) {
            vaults << f.addVault(QLatin1String(name), m_password);
            QVERIFY(QCoro::waitFor(f.store.unlock(vaults.last(), QString::fromUtf8(m_password), false,
                                                  QStringLiteral("password"))));
        }
        QSignalSpy busy(&f.store, &VaultStore::busyVaultsChanged);
        QCoro::waitFor(f.store.lockAll(false, QStringLiteral("manual")));
        QVERIFY(f.store.mountPoints().isEmpty());
        QCOMPARE(f.activityTexts().mid(0, 3),
                 (QStringList{"Third locked (manual)", "Second locked (manual)", "First locked (manual)"}));
        // One at a time: the busy set never held two vaults.
        QCOMPARE(busy.count(), 6);
        for (const Vault &vault : std::as_const(vaults))
            QVERIFY(f.store.sizesOnDisk().value(vault.id) > 0);
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    void lockRefusedWhileAFileIsOpen()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Open"), m_password);
        QVERIFY(QCoro::waitFor(
            f.store.unlock(vault, QString::fromUtf8(m_password), false, QStringLiteral("password"))));
        QFile file(f.mountPoint(vault) + QStringLiteral("/draft.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));

        QCoro::waitFor(f.store.lock(vault, true, QStringLiteral("screen locked")));
        QVERIFY(f.store.isUnlocked(vault.id));
        QVERIFY(f.error().isEmpty());
        QCoro::waitFor(f.store.lock(vault, false, QStringLiteral("manual")));
        QVERIFY(f.store.isUnlocked(vault.id));
        QVERIFY2(f.error().startsWith(QStringLiteral(
                     "Could not lock vault — a file inside may still be open: The volume “Open” is busy: ")),
                 qPrintable(f.error()));
        QCOMPARE(f.activityTexts().size(), 1);
        QVERIFY(f.store.busyVaults().isEmpty());
        file.close();
        QCoro::waitFor(f.store.lock(vault, false, QStringLiteral("manual")));
        QVERIFY(!f.store.isUnlocked(vault.id));
    }

    void refreshFindsVaultsAttachedElsewhere()
    {
        StoreFixture &f = *m_fixture;
        Vault vault = f.addVault(QStringLiteral("Outside"), m_password);
        // Listed through a symbolic link to the file.
        const QString link = m_env.home() + QStringLiteral("/link.sparsebundle");
        QVERIFY(QFile::link(vault.bundlePath, link));
        f.store.relocate(vault, link);
        const QString mountPoint = attachVault(vault.bundlePath, m_password);
        QVERIFY(!mountPoint.isEmpty());
        f.clock = f.clock.addSeconds(30);
        QCoro::waitFor(f.store.refresh());
        QCOMPARE(f.mountPoint(vault), mountPoint);
        QCOMPARE(f.store.unlockedAt(vault.id), f.clock);
        QVERIFY(f.store.sizesOnDisk().value(vault.id) > 0);

        QCOMPARE(detachVault(mountPoint).status, 0);
        QCoro::waitFor(f.store.refresh());
        QVERIFY(!f.store.isUnlocked(vault.id));
    }

    void operationsOnDifferentVaultsOverlap()
    {
        StoreFixture &f = *m_fixture;
        const Vault one = f.addVault(QStringLiteral("One"), m_password);
        const Vault two = f.addVault(QStringLiteral("Two"), m_password);
        savePassword(QString::fromUtf8(m_password), one.id);
        int mostBusy = 0;
        connect(&f.store, &VaultStore::busyVaultsChanged, this,
                [&] { mostBusy = std::max<int>(mostBusy, f.store.busyVaults().size()); });
        auto first = f.store.unlock(one, QString::fromUtf8(m_password), false, QStringLiteral("password"));
        auto second = f.store.unlock(two, QString::fromUtf8(m_password), false, QStringLiteral("password"));
        // A request for a vault that is busy does nothing: no prompt, no second attach.
        QCoro::waitFor(f.store.requestUnlock(one));
        QVERIFY(!f.store.passwordPromptVault());
        QVERIFY(QCoro::waitFor(first));
        QVERIFY(QCoro::waitFor(second));
        QCOMPARE(mostBusy, 2);
        QVERIFY(f.store.isUnlocked(one.id) && f.store.isUnlocked(two.id));
        QCOMPARE(f.activityTexts().size(), 2);
    }

    void missingFilesShowTheirDialogs()
    {
        StoreFixture &f = *m_fixture;
        Vault moved = f.addVault(QStringLiteral("Moved"), m_password);
        QVERIFY(QDir(moved.bundlePath).removeRecursively());
        QCOMPARE(VaultStore::fileState(moved), VaultFileState::Missing);
        QCoro::waitFor(f.store.requestUnlock(moved));
        QCOMPARE(f.dialogs.shown, QStringList{QStringLiteral("relocated:Moved")});

        const QString user = qEnvironmentVariable("USER", QStringLiteral("nobody"));
        for (const QString &path : {QStringLiteral("/Volumes/Gone Disk/A.sparsebundle"),
                                    QStringLiteral("/media/%1/Gone Disk/A.sparsebundle").arg(user),
                                    QStringLiteral("/run/media/%1/Gone Disk/A.sparsebundle").arg(user)}) {
            Vault away = moved;
            away.name = QStringLiteral("Away");
            away.bundlePath = path;
            QCOMPARE(VaultStore::fileState(away), VaultFileState::WaitingForDisk);
            f.dialogs.shown.clear();
            QVERIFY(!QCoro::waitFor(
                f.store.unlock(away, QStringLiteral("x"), false, QStringLiteral("password"))));
            QCOMPARE(f.dialogs.shown, QStringList{QStringLiteral("waiting:Away")});
        }
        // A disk mounted straight at /media/<label> is there: the vault on it was moved.
        const QString disk =
            QStringLiteral("/media/hollowkeep-test-%1").arg(QCoreApplication::applicationPid());
        QVERIFY(QDir().mkpath(disk));
        const auto removeDisk = qScopeGuard([&] {
            umount2(QFile::encodeName(disk).constData(), MNT_DETACH);
            QDir().rmdir(disk);
        });
        Vault onDisk = moved;
        onDisk.bundlePath = disk + QStringLiteral("/A.sparsebundle");
        QCOMPARE(VaultStore::fileState(onDisk), VaultFileState::WaitingForDisk);
        QVERIFY2(mount("hollowkeep-test", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=1m") == 0,
                 "mounting a disk needs root, as in CI");
        QCOMPARE(VaultStore::fileState(onDisk), VaultFileState::Missing);
        QVERIFY(f.error().isEmpty());
        QVERIFY(f.store.busyVaults().isEmpty());
    }
};

QTEST_MAIN(TestVaultStoreUnlock)
#include "tst_vaultstore_unlock.moc"

#include "FakeTools.h"
#include "StoreHarness.h"
#include "ui/ImportController.h"
#include "ui/VaultActions.h"

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
        m_fileManager.shown.clear();
    }

    // The saved password unlocks without a prompt, also when the keyring is slow to answer (as a
    // locked one is while it asks for its own password): a second request meanwhile does nothing.
    void savedPasswordUnlocksWithoutAPrompt()
    {
        StoreFixture &f = *m_fixture;
        Vault vault = f.addVault(u"Keyed"_s, m_password);
        vault.openInFinderAfterUnlock = true;
        f.store.updateOptions(vault, false, true, false);
        savePassword(QString::fromUtf8(m_password), vault.id);
        const uint keyring =
            QDBusConnection::sessionBus().interface()->servicePid(u"org.freedesktop.secrets"_s);
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

        const QString mountPoint = f.mountPoint(vault);
        QCOMPARE(mountPoint, m_env.home() + u"/Vaults/Keyed"_s);
        QVERIFY(!f.store.passwordPromptVault());
        QVERIFY2(f.error().isEmpty(), qPrintable(f.error()));
        QCOMPARE(f.activityTexts(), QStringList{u"Keyed unlocked · keyring"_s});
        QCOMPARE(f.store.unlockedAt(vault.id), f.clock);
        QVERIFY(f.store.busyVaults().isEmpty());
        // The unlock is remembered in the list file and the volume is kept out of the indexers.
        QCOMPARE(VaultList::load(f.store.storeURL()).first().lastOpenedAt, f.clock);
        QVERIFY(!QFile::exists(mountPoint + u"/.metadata_never_index"_s));
        QVERIFY(QFile::exists(mountPoint + u"/.trackerignore"_s));
        // The folder opens in the file manager.
        QTRY_COMPARE(m_fileManager.shown, QStringList{QUrl::fromLocalFile(mountPoint).toString()});

        // Asking again for an unlocked vault does nothing.
        QCoro::waitFor(f.store.requestUnlock(vault));
        QCOMPARE(f.activityTexts().size(), 1);
    }

    // A stopped volume does not hold up a refresh. Its daemon then killed, the vault locks as it
    // is; the next unlock puts it right and the activity log says what was done.
    void aStoppedOrDeadVolumeIsHandledAndRepaired()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(u"Dropped"_s, m_password);
        QVERIFY(f.unlock(vault, QString::fromUtf8(m_password)));
        QVERIFY(writeAll(f.mountPoint(vault) + u"/kept.txt"_s, "kept"));
        const pid_t daemon = volumeServer(f.mountPoint(vault));
        QVERIFY(daemon > 0);
        QCOMPARE(kill(daemon, SIGSTOP), 0);
        const auto resume = qScopeGuard([&] { kill(daemon, SIGCONT); });
        QElapsedTimer clock;
        clock.start();
        QCoro::waitFor(f.store.refresh());
        QVERIFY2(clock.elapsed() < 15000, "a refresh waited for a stopped volume");
        QVERIFY(f.store.isUnlocked(vault.id));

        QCOMPARE(kill(daemon, SIGKILL), 0);
        QCoro::waitFor(f.store.lock(vault, false, u"manual"_s));
        QVERIFY(!f.store.isUnlocked(vault.id));
        QVERIFY(f.unlock(vault, QString::fromUtf8(m_password)));
        QCOMPARE(readAll(f.mountPoint(vault) + u"/kept.txt"_s), QByteArray("kept"));
        const QStringList texts = f.activityTexts();
        QCOMPARE(texts.filter(u"Dropped repaired · The vault was not locked cleanly"_s).size(), 1);
    }

    // An import keeps its vault unlocked to its last file: a Lock All asked for in the middle waits
    // for it and then locks; every file is in the vault, and nothing was written where the vault
    // was mounted.
    void importHoldsItsVaultUntilItEnds()
    {
        VaultStore &store = VaultStore::shared();
        const Vault vault = listNewVault(store, m_env.home(), u"Imported"_s, m_password, 256);
        QVERIFY(vault.isValid());
        QVERIFY(QCoro::waitFor(store.unlock(vault, QString::fromUtf8(m_password), false, u"password"_s)));
        const QString mountPoint = store.mountPoints().value(vault.id);
        QStringList files;
        for (int i = 0; i < 200; ++i) {
            files << m_env.root() + u"/many/file-%1"_s.arg(i);
            QVERIFY(writeAll(files.last(), QByteArray(256 * 1024, char('a' + i % 26))));
        }
        ImportController import;
        import.setFiles(files);
        import.run(vault.idText(), {}, false, false);
        QVERIFY(QTest::qWaitFor([&] { return import.progress() > 0.2; }, 60000));
        auto lockAll = store.lockAll(false, u"manual"_s);
        QVERIFY(store.isUnlocked(vault.id) && import.copying());
        QCoro::waitFor(lockAll);
        QVERIFY(!store.isUnlocked(vault.id));
        QVERIFY(!QFileInfo::exists(mountPoint));
        QVERIFY(QCoro::waitFor(store.unlock(vault, QString::fromUtf8(m_password), false, u"password"_s)));
        QCOMPARE(QDir(mountPoint).entryList(QDir::Files).size(), 200);
        QCOMPARE(readAll(mountPoint + u"/file-199"_s), QByteArray(256 * 1024, char('a' + 199 % 26)));
        QCoro::waitFor(store.lock(vault, false, u"manual"_s));
    }

    void ownerAuthenticationGatesTheSavedPassword()
    {
        StoreFixture &f = *m_fixture;
        ScriptedAuthentication authentication;
        const Vault vault = f.addVault(u"Guarded"_s, m_password);
        f.store.updateOptions(vault, true, false, false);
        savePassword(QString::fromUtf8(m_password), vault.id);

        authentication.answer = false;
        QCoro::waitFor(f.store.requestUnlock(f.current(vault)));
        QCOMPARE(authentication.reasons, QStringList{u"unlock the vault “Guarded”"_s});
        QVERIFY(!f.store.isUnlocked(vault.id));
        QVERIFY(!f.store.passwordPromptVault());
        QVERIFY(f.activityTexts().isEmpty());
        QVERIFY(f.error().isEmpty());

        authentication.answer = true;
        QCoro::waitFor(f.store.requestUnlock(f.current(vault)));
        QCOMPARE(authentication.reasons.size(), 2);
        QVERIFY(f.store.isUnlocked(vault.id));
        QCOMPARE(f.activityTexts(), QStringList{u"Guarded unlocked · authentication"_s});
    }

    // A saved password that no longer opens the vault is forgotten and the next request asks; a
    // wrong typed password also removes a saved one; the right one typed is saved when asked to.
    void wrongPasswordsAreForgottenAndTypedOnesSaved()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(u"Stale"_s, m_password);
        savePassword(u"outdated"_s, vault.id);
        QCoro::waitFor(f.store.requestUnlock(vault));
        QCOMPARE(f.takeError(), u"Wrong password for “Stale”."_s);
        QVERIFY(!f.store.passwordPromptVault());
        QVERIFY(!savedPassword(vault.id));
        QVERIFY(f.store.busyVaults().isEmpty());

        QSignalSpy prompts(&f.store, &VaultStore::passwordPromptVaultChanged);
        QCoro::waitFor(f.store.requestUnlock(vault));
        QCOMPARE(f.store.passwordPromptVault()->id, vault.id);
        QVERIFY(!f.store.isUnlocked(vault.id));
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());

        savePassword(QString::fromUtf8(m_password), vault.id);
        QVERIFY(!f.unlock(vault, u"typo"_s));
        QCOMPARE(f.takeError(), u"Wrong password for “Stale”."_s);
        QVERIFY(!savedPassword(vault.id));
        QVERIFY(f.activityTexts().isEmpty());

        QVERIFY(QCoro::waitFor(f.store.unlock(vault, QString::fromUtf8(m_password), true, u"password"_s)));
        QCOMPARE(f.activityTexts(), QStringList{u"Stale unlocked · password"_s});
        QCOMPARE(savedPassword(vault.id), QString::fromUtf8(m_password));
        QCOMPARE(prompts.count(), 1);
    }

    // Unlocks of different vaults run side by side, and a request for a vault that is busy does
    // nothing; Lock All locks one at a time, in list order.
    void unlocksOverlapAndLockAllGoesInListOrder()
    {
        StoreFixture &f = *m_fixture;
        QList<Vault> vaults;
        std::vector<QCoro::Task<Outcome>> unlocks;
        int mostBusy = 0;
        connect(&f.store, &VaultStore::busyVaultsChanged, this,
                [&] { mostBusy = std::max<int>(mostBusy, f.store.busyVaults().size()); });
        for (const char *name : {"First", "Second", "Third"}) {
            vaults << f.addVault(QLatin1String(name), m_password);
            unlocks.push_back(f.store.unlock(vaults.last(), QString::fromUtf8(m_password), false, u"password"_s));
        }
        savePassword(QString::fromUtf8(m_password), vaults.first().id);
        QCoro::waitFor(f.store.requestUnlock(vaults.first()));
        QVERIFY(!f.store.passwordPromptVault());
        for (QCoro::Task<Outcome> &unlock : unlocks)
            QVERIFY(QCoro::waitFor(unlock));
        QCOMPARE(mostBusy, 3);
        QCOMPARE(f.activityTexts().size(), 3);

        QSignalSpy busy(&f.store, &VaultStore::busyVaultsChanged);
        QCoro::waitFor(f.store.lockAll(false, u"manual"_s));
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
        const Vault vault = f.addVault(u"Open"_s, m_password);
        QVERIFY(f.unlock(vault, QString::fromUtf8(m_password)));
        QFile file(f.mountPoint(vault) + u"/draft.txt"_s);
        QVERIFY(file.open(QIODevice::WriteOnly));

        // A manual Lock All asked for during a quiet one makes its own pass and reports.
        auto quiet = f.store.lockAll(true, u"screen locked"_s);
        auto manual = f.store.lockAll(false, u"manual"_s);
        QCoro::waitFor(quiet);
        QVERIFY(f.store.isUnlocked(vault.id));
        QVERIFY(f.error().isEmpty());
        QCoro::waitFor(manual);
        QVERIFY(f.store.isUnlocked(vault.id));
        QVERIFY2(f.error().startsWith(QStringLiteral(
                     "Could not lock vault — a file inside may still be open: The volume “Open” is busy: ")),
                 qPrintable(f.error()));
        QCOMPARE(f.activityTexts().size(), 1);
        QVERIFY(f.store.busyVaults().isEmpty());
        file.close();
        QCoro::waitFor(f.store.lock(vault, false, u"manual"_s));
        QVERIFY(!f.store.isUnlocked(vault.id));
    }

    // A sheet hears what became of its own operation: an error left from before does not fail a
    // resize that worked, and a failure comes with its own text, not the one on show.
    void eachViewHearsItsOwnOutcome()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(u"Sheet"_s, m_password);
        VaultActions actions(f.store);
        QSignalSpy finished(&actions, &VaultActions::finished);
        QSignalSpy unlocked(&actions, &VaultActions::unlockFinished);
        f.store.setErrorMessage(u"Left from before"_s);
        actions.resize(vault.idText(), 128, QString::fromUtf8(m_password));
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.takeFirst(), (QVariantList{u"resize"_s, vault.idText(), true, QString()}));
        QCOMPARE(f.current(vault).maxSizeMB, 128);

        actions.unlockWithPassword(vault.idText(), u"not-it"_s, false);
        QVERIFY(unlocked.wait(60000));
        QCOMPARE(unlocked.takeFirst(), (QVariantList{vault.idText(), false, u"Wrong password for “Sheet”."_s}));
        f.store.setErrorMessage(u"Left from before"_s);
        actions.rename(vault.idText(), u"Renamed"_s, u"not-it"_s);
        QVERIFY(finished.wait(60000));
        const QVariantList failed = finished.takeFirst();
        QCOMPARE(failed.at(2).toBool(), false);
        QVERIFY2(failed.at(3).toString().contains(u"password"_s, Qt::CaseInsensitive), qPrintable(failed.at(3).toString()));
        QCOMPARE(f.current(vault).name, u"Sheet"_s);
    }

    // Open and Reveal say so when nothing can show the folder, once per attempt; an opener that
    // takes the folder is as good as a file manager.
    void withoutAFileManagerTheUserIsTold()
    {
        StoreFixture &f = *m_fixture;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.unregisterService(u"org.freedesktop.FileManager1"_s));
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] {
            qputenv("PATH", path);
            bus.registerService(u"org.freedesktop.FileManager1"_s);
        });
        const QString opener = m_env.root() + u"/bin/xdg-open"_s;
        QVERIFY(writeAll(opener, "#!/bin/sh\necho \"$1\" >> \"$0.log\"\nexit \"$(cat \"$0.status\")\"\n"));
        QVERIFY(QFile::setPermissions(opener, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(writeAll(opener + u".status"_s, "3"));
        qputenv("PATH", QFile::encodeName(QFileInfo(opener).path()) + ':' + path);

        QSignalSpy missing(&f.store, &VaultStore::fileManagerMissing);
        f.store.openVaultFolder(m_env.home());
        QVERIFY(missing.wait(15000));
        f.store.revealInFileManager(m_env.home() + u"/Ledger.sparsebundle"_s);
        QVERIFY(missing.wait(15000));
        QCOMPARE(missing, (QList<QVariantList>{{m_env.home()}, {m_env.home() + u"/Ledger.sparsebundle"_s}}));
        QCOMPARE(readAll(opener + u".log"_s), (m_env.home() + u'\n' + m_env.home() + u'\n').toUtf8());

        QVERIFY(writeAll(opener + u".status"_s, "0"));
        f.store.openVaultFolder(m_env.root());
        QTRY_COMPARE_WITH_TIMEOUT(f.store.backgroundWork(), 0, 15000);
        QVERIFY(readAll(opener + u".log"_s).endsWith(m_env.root().toUtf8() + '\n'));
        QCOMPARE(missing.size(), 2);
    }

    void refreshFindsVaultsAttachedElsewhere()
    {
        StoreFixture &f = *m_fixture;
        Vault vault = f.addVault(u"Outside"_s, m_password);
        // Listed through a symbolic link to the file.
        const QString link = m_env.home() + u"/link.sparsebundle"_s;
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

    void missingFilesShowTheirDialogs()
    {
        StoreFixture &f = *m_fixture;
        Vault moved = f.addVault(u"Moved"_s, m_password);
        QVERIFY(QDir(moved.bundlePath).removeRecursively());
        QCOMPARE(VaultStore::fileState(moved), VaultFileState::Missing);
        QCoro::waitFor(f.store.requestUnlock(moved));
        QCOMPARE(f.dialogs.shown, QStringList{u"relocated:Moved"_s});

        const QString user = qEnvironmentVariable("USER", u"nobody"_s);
        for (const QString &path :
             {u"/Volumes/Gone Disk/A.sparsebundle"_s, u"/media/%1/Gone Disk/A.sparsebundle"_s.arg(user),
              u"/run/media/%1/Gone Disk/A.sparsebundle"_s.arg(user), u"/media/someone-else/Disk/A.sparsebundle"_s}) {
            Vault away = moved;
            away.name = u"Away"_s;
            away.bundlePath = path;
            QCOMPARE(VaultStore::fileState(away), VaultFileState::WaitingForDisk);
            f.dialogs.shown.clear();
            QVERIFY(!f.unlock(away, u"x"_s));
            QCOMPARE(f.dialogs.shown, QStringList{u"waiting:Away"_s});
        }
        // A disk mounted straight at /media/<label> is there: the vault on it was moved.
        const QString disk = u"/media/hollowkeep-test-%1"_s.arg(QCoreApplication::applicationPid());
        QVERIFY(QDir().mkpath(disk));
        const auto removeDisk = qScopeGuard([&] {
            umount2(QFile::encodeName(disk).constData(), MNT_DETACH);
            QDir().rmdir(disk);
        });
        Vault onDisk = moved;
        onDisk.bundlePath = disk + u"/A.sparsebundle"_s;
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

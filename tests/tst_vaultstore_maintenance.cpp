#include "StoreHarness.h"
#include "diskimage/DiskImage.h"

#include <QSignalSpy>
#include <QTest>

// Adding, relocating, renaming, resizing, compacting, re-keying, cloud exclusion and deletion
// through the store, with real vaults and a real Secret Service.
class TestVaultStoreMaintenance : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    std::unique_ptr<StoreFixture> m_fixture;
    const QByteArray m_password = "maintain-pass";
    const QString m_text = QString::fromUtf8(m_password);

    [[nodiscard]] QString bundleWithInfo(const QString &name, const QByteArray &info) const
    {
        const QString path = m_env.home() + QLatin1Char('/') + name;
        QDir().mkpath(path);
        if (!info.isNull())
            writeAll(path + u"/Info.plist"_s, info);
        return path;
    }

private Q_SLOTS:
    void init() { m_fixture = std::make_unique<StoreFixture>(m_env); }
    void cleanup() { m_fixture.reset(); }

    void addExistingVaults()
    {
        StoreFixture &f = *m_fixture;
        const auto sizeInfo = [](const QByteArray &size) {
            return "<plist version=\"1.0\"><dict><key>size</key><integer>" + size +
                   "</integer></dict></plist>";
        };
        f.store.addExistingVault(bundleWithInfo(u"Big.sparsebundle"_s, sizeInfo("5368709120")));
        f.store.addExistingVault(bundleWithInfo(u"Tiny.sparsebundle"_s, sizeInfo("10000000")));
        f.store.addExistingVault(bundleWithInfo(u"Bare.sparsebundle"_s, QByteArray()));
        f.store.addExistingVault(bundleWithInfo(u"Photos.nosync"_s, "<plist><array/></plist>"));
        QVERIFY(f.error().isEmpty());
        const QList<Vault> &vaults = f.store.vaults();
        QCOMPARE(vaults.size(), 4);
        QCOMPARE(vaults[0].maxSizeMB, 5120);
        QCOMPARE(vaults[1].maxSizeMB, 16);
        QCOMPARE(vaults[2].maxSizeMB, 1024);
        QCOMPARE(vaults[3].name, u"Photos"_s);
        QVERIFY(vaults[3].excludedFromCloud && !vaults[0].excludedFromCloud);
        QVERIFY(vaults[0].openInFinderAfterUnlock && !vaults[0].requireTouchID &&
                !vaults[0].autoOpenAtLaunch);
        QCOMPARE(VaultList::load(f.store.storeURL()), vaults);

        const QString link = m_env.home() + u"/Alias.sparsebundle"_s;
        QVERIFY(QFile::link(vaults[0].bundlePath, link));
        f.store.addExistingVault(link);
        QCOMPARE(f.error(), u"That vault is already in the list."_s);
        f.store.addExistingVault(bundleWithInfo(u"Wrong.dmg"_s, QByteArray()));
        QCOMPARE(f.takeError(), u"Choose a vault file (.sparsebundle or .nosync)."_s);
        f.store.addExistingVault(m_env.home() + u"/Absent.sparsebundle"_s);
        QCOMPARE(f.error(), u"Choose a vault file (.sparsebundle or .nosync)."_s);
        QCOMPARE(f.store.vaults().size(), 4);
    }

    void addingAnAttachedVaultShowsItUnlocked()
    {
        StoreFixture &f = *m_fixture;
        const QString path = m_env.home() + u"/Mounted.sparsebundle"_s;
        const QString mountPoint = attachNewVault(path, m_password);
        QSignalSpy unlocked(&f.store, &VaultStore::mountPointsChanged);
        f.store.addExistingVault(path);
        QCOMPARE(f.store.vaults().first().maxSizeMB, 64);
        QVERIFY(unlocked.wait(10000));
        QCOMPARE(f.mountPoint(f.store.vaults().first()), mountPoint);
    }

    // A listed vault's record: relocated (never onto another vault's file; its name follows the
    // file's unless that has none), its options and hint saved, and taken off the list with its
    // saved password while its file stays.
    void recordsAreRelocatedChangedAndRemoved()
    {
        StoreFixture &f = *m_fixture;
        f.store.addExistingVault(bundleWithInfo(u"First.sparsebundle"_s, QByteArray()));
        f.store.addExistingVault(bundleWithInfo(u"Second.sparsebundle"_s, QByteArray()));
        const Vault first = f.store.vaults()[0];
        f.store.relocate(first, f.store.vaults()[1].bundlePath);
        QCOMPARE(f.takeError(), u"“Second” is already using that file."_s);
        f.store.relocate(first, bundleWithInfo(u"Renamed.nosync"_s, QByteArray()));
        QCOMPARE(f.current(first).name, u"Renamed"_s);
        QVERIFY(f.current(first).excludedFromCloud);
        QCOMPARE(f.activityTexts(), QStringList{u"Renamed located"_s});
        f.store.relocate(first, bundleWithInfo(u".sparsebundle"_s, QByteArray()));
        QCOMPARE(f.current(first).name, u"Renamed"_s);
        QCOMPARE(f.current(first).bundlePath, m_env.home() + u"/.sparsebundle"_s);
        QVERIFY(!f.current(first).excludedFromCloud);

        f.store.updateOptions(f.current(first), true, false, true);
        f.store.updatePasswordHint(f.current(first), u"first pet"_s);
        const Vault stored = VaultList::load(f.store.storeURL()).first();
        QVERIFY(stored.requireTouchID && !stored.openInFinderAfterUnlock && stored.autoOpenAtLaunch);
        QCOMPARE(stored.passwordHint, u"first pet"_s);
        f.store.updatePasswordHint(f.current(first), std::nullopt);
        QVERIFY(!VaultList::load(f.store.storeURL()).first().passwordHint);

        savePassword(u"whatever"_s, first.id);
        QCoro::waitFor(f.store.removeFromList(f.current(first)));
        QCOMPARE(VaultList::load(f.store.storeURL()), f.store.vaults());
        QCOMPARE(f.store.vaults().size(), 1);
        QVERIFY(!savedPassword(first.id));
        QVERIFY(QFileInfo::exists(m_env.home() + u"/.sparsebundle"_s));
        QCOMPARE(f.activityTexts().size(), 2);
    }

    void renameRenamesFileAndVolume()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(u"Before"_s, m_password);
        QVERIFY(f.unlock(vault, m_text));
        QCoro::waitFor(f.store.rename(vault, u"After"_s, m_text));
        QCOMPARE(f.error(), u"Lock “Before” first, then rename it."_s);
        QCoro::waitFor(f.store.lock(vault, false, u"manual"_s));
        f.store.setErrorMessage(std::nullopt);

        QCoro::waitFor(f.store.rename(vault, u"Before"_s, m_text));
        QCOMPARE(f.takeError(), u"A vault named “Before” already exists in that folder."_s);
        QCoro::waitFor(f.store.rename(vault, u"After"_s, u"wrong"_s));
        QCOMPARE(f.takeError(), u"Wrong password."_s);

        // The record changed since (the unlock set lastOpenedAt); the rename still finds it.
        QCoro::waitFor(f.store.rename(vault, u"After"_s, m_text));
        QVERIFY2(f.error().isEmpty(), qPrintable(f.error()));
        const Vault renamed = f.current(vault);
        QCOMPARE(renamed.name, u"After"_s);
        QCOMPARE(renamed.bundlePath, m_env.home() + u"/After.sparsebundle"_s);
        QVERIFY(renamed.lastOpenedAt);
        QVERIFY(QFileInfo::exists(renamed.bundlePath) && !QFileInfo::exists(vault.bundlePath));
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(f.store.busyVaults().isEmpty());
        // The volume inside carries the new name.
        QVERIFY(f.unlock(renamed, m_text));
        QCOMPARE(f.mountPoint(renamed), m_env.home() + u"/Vaults/After"_s);
    }

    void resizeAndCompact()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(u"Sized"_s, m_password);
        QCoro::waitFor(f.store.resize(vault, 256, m_text));
        QVERIFY(f.error().isEmpty());
        QCOMPARE(f.current(vault).maxSizeMB, 256);
        QCOMPARE(VaultList::load(f.store.storeURL()).first().maxSizeMB, 256);

        QVERIFY(f.unlock(vault, m_text));
        QVERIFY(writeAll(f.mountPoint(vault) + u"/filler.bin"_s, QByteArray(100 * 1024 * 1024, 'x')));
        QCoro::waitFor(f.store.lock(vault, false, u"manual"_s));
        QCoro::waitFor(f.store.resize(vault, 32, m_text));
        QCOMPARE(f.error(),
                 QStringLiteral(
                     "The new limit is smaller than the space the files inside currently use. Delete files "
                     "first (and reclaim free space), or choose a larger limit."));
        QCOMPARE(f.current(vault).maxSizeMB, 256);
        f.store.setErrorMessage(std::nullopt);

        QVERIFY(f.unlock(vault, m_text));
        QVERIFY(QFile::remove(f.mountPoint(vault) + u"/filler.bin"_s));
        QCoro::waitFor(f.store.lock(vault, false, u"manual"_s));
        const qint64 before = f.store.sizesOnDisk().value(vault.id);
        // The deleted file's space comes back at once with the volume daemon, at compaction otherwise.
        QVERIFY(fallbackEngine() ? before > 90 * 1024 * 1024 : before < 20 * 1024 * 1024);
        // Stopped before the tool starts: no alert, nothing given back, the vault free again.
        DiskImage::StopSwitch early;
        early.pull();
        const Outcome stopped = QCoro::waitFor(f.store.compact(vault, m_text, &early));
        QCOMPARE(stopped.failure, DiskImageError::stopped().errorDescription());
        QVERIFY(f.error().isEmpty());
        QCOMPARE(f.store.sizesOnDisk().value(vault.id), before);
        QVERIFY(f.store.busyVaults().isEmpty());
        QSignalSpy progress(&f.store, &VaultStore::progressed);
        QCoro::waitFor(f.store.compact(vault, m_text));
        QVERIFY(f.error().isEmpty());
        // The tool's progress reached the store as it ran, to the end.
        QVERIFY(progress.size() >= 3);
        QCOMPARE(progress.last(), (QVariantList{QVariant::fromValue(vault.id), u"compact"_s, 100,
                                                u"Giving free space back"_s}));
        QVERIFY(f.store.sizesOnDisk().value(vault.id) < 20 * 1024 * 1024);
        QVERIFY(f.store.busyVaults().isEmpty());
    }

    void changePasswordKeepsTheKeychainInStep()
    {
        StoreFixture &f = *m_fixture;
        const Vault saved = f.addVault(u"Saved"_s, m_password);
        const Vault unsaved = f.addVault(u"Unsaved"_s, m_password);
        savePassword(m_text, saved.id);
        QCoro::waitFor(f.store.changePassword(saved, m_text, u"brand-new-pass"_s));
        QCoro::waitFor(f.store.changePassword(unsaved, m_text, u"brand-new-pass"_s));
        QVERIFY(f.error().isEmpty());
        QCOMPARE(savedPassword(saved.id), u"brand-new-pass"_s);
        QVERIFY(!savedPassword(unsaved.id));
        QCoro::waitFor(f.store.changePassword(saved, u"not-it"_s, u"x-new-pass"_s));
        QCOMPARE(f.takeError(), u"Wrong password."_s);
        QVERIFY(f.unlock(saved, u"brand-new-pass"_s));
        QCoro::waitFor(f.store.changePassword(saved, u"brand-new-pass"_s, u"x-new-pass"_s));
        QCOMPARE(f.error(), u"Lock “Saved” first, then change its password."_s);
    }

    void cloudExclusionRenamesTheFile()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(u"Cloudy"_s, m_password);
        f.store.setCloudExclusion(vault, true);
        QCOMPARE(f.current(vault).bundlePath, m_env.home() + u"/Cloudy.nosync"_s);
        QVERIFY(f.current(vault).excludedFromCloud);
        QVERIFY(f.unlock(f.current(vault), m_text));
        f.store.setCloudExclusion(vault, false);
        QCOMPARE(f.error(), u"Lock “Cloudy” first, then change its cloud sync setting."_s);
        QCoro::waitFor(f.store.lock(vault, false, u"manual"_s));
        f.store.setCloudExclusion(vault, false);
        QCOMPARE(f.current(vault).bundlePath, m_env.home() + u"/Cloudy.sparsebundle"_s);
        QVERIFY(!f.current(vault).excludedFromCloud);
    }

    void deleteMovesToTheTrash()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(u"Doomed"_s, m_password);
        savePassword(m_text, vault.id);
        QVERIFY(f.unlock(vault, m_text));
        QFile open(f.mountPoint(vault) + u"/busy.txt"_s);
        QVERIFY(open.open(QIODevice::WriteOnly));
        QCoro::waitFor(f.store.deleteVault(vault));
        QVERIFY(f.error().startsWith(u"Could not lock vault"_s));
        QVERIFY(QFileInfo::exists(vault.bundlePath));
        QCOMPARE(f.store.vaults().size(), 1);
        open.close();
        f.store.setErrorMessage(std::nullopt);

        QCoro::waitFor(f.store.deleteVault(vault));
        QVERIFY2(f.error().isEmpty(), qPrintable(f.error()));
        QVERIFY(!QFileInfo::exists(vault.bundlePath));
        QVERIFY(QFileInfo::exists(m_env.data() + u"/Trash/files/Doomed.sparsebundle/Info.plist"_s));
        QVERIFY(f.store.vaults().isEmpty());
        QVERIFY(VaultList::load(f.store.storeURL()).isEmpty());
        QVERIFY(!savedPassword(vault.id));
        QCOMPARE(f.activityTexts().first(), u"Doomed locked (manual)"_s);
    }
};

QTEST_MAIN(TestVaultStoreMaintenance)
#include "tst_vaultstore_maintenance.moc"

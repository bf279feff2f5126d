#include "StoreHarness.h"

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
            writeAll(path + QStringLiteral("/Info.plist"), info);
        return path;
    }

private Q_SLOTS:
    void init() { m_fixture = std::make_unique<StoreFixture>(m_env); }
    void cleanup()
    {
        m_fixture.reset();
        detachEverything(m_env.root());
        clearFolders(m_env);
    }

    void addExistingVaults()
    {
        StoreFixture &f = *m_fixture;
        const auto sizeInfo = [](const QByteArray &size) {
            return "<plist version=\"1.0\"><dict><key>size</key><integer>" + size +
                   "</integer></dict></plist>";
        };
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Big.sparsebundle"), sizeInfo("5368709120")));
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Tiny.sparsebundle"), sizeInfo("10000000")));
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Bare.sparsebundle"), QByteArray()));
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Photos.nosync"), "<plist><array/></plist>"));
        QVERIFY(f.error().isEmpty());
        const QList<Vault> &vaults = f.store.vaults();
        QCOMPARE(vaults.size(), 4);
        QCOMPARE(vaults[0].maxSizeMB, 5120);
        QCOMPARE(vaults[1].maxSizeMB, 16);
        QCOMPARE(vaults[2].maxSizeMB, 1024);
        QCOMPARE(vaults[3].name, QStringLiteral("Photos"));
        QVERIFY(vaults[3].excludedFromCloud && !vaults[0].excludedFromCloud);
        QVERIFY(vaults[0].openInFinderAfterUnlock && !vaults[0].requireTouchID &&
                !vaults[0].autoOpenAtLaunch);
        QCOMPARE(VaultList::load(f.store.storeURL()), vaults);

        const QString link = m_env.home() + QStringLiteral("/Alias.sparsebundle");
        QVERIFY(QFile::link(vaults[0].bundlePath, link));
        f.store.addExistingVault(link);
        QCOMPARE(f.error(), QStringLiteral("That vault is already in the list."));
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Wrong.dmg"), QByteArray()));
        QCOMPARE(f.error(), QStringLiteral("Choose a vault file (.sparsebundle or .nosync)."));
        f.store.setErrorMessage(std::nullopt);
        f.store.addExistingVault(m_env.home() + QStringLiteral("/Absent.sparsebundle"));
        QCOMPARE(f.error(), QStringLiteral("Choose a vault file (.sparsebundle or .nosync)."));
        QCOMPARE(f.store.vaults().size(), 4);
    }

    void addingAnAttachedVaultShowsItUnlocked()
    {
        StoreFixture &f = *m_fixture;
        const QString path = m_env.home() + QStringLiteral("/Mounted.sparsebundle");
        QCOMPARE(createVault(path, QStringLiteral("Mounted"), 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QSignalSpy unlocked(&f.store, &VaultStore::mountPointsChanged);
        f.store.addExistingVault(path);
        QCOMPARE(f.store.vaults().first().maxSizeMB, 64);
        QVERIFY(unlocked.wait(10000));
        QCOMPARE(f.mountPoint(f.store.vaults().first()), mountPoint);
    }

    void relocate()
    {
        StoreFixture &f = *m_fixture;
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("First.sparsebundle"), QByteArray()));
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Second.sparsebundle"), QByteArray()));
        const Vault first = f.store.vaults()[0];
        f.store.relocate(first, f.store.vaults()[1].bundlePath);
        QCOMPARE(f.error(), QStringLiteral("“Second” is already using that file."));
        f.store.relocate(first, bundleWithInfo(QStringLiteral("Renamed.nosync"), QByteArray()));
        QCOMPARE(f.current(first).name, QStringLiteral("Renamed"));
        QVERIFY(f.current(first).excludedFromCloud);
        QCOMPARE(f.activityTexts().first(), QStringLiteral("Renamed located"));
        // A file name without a base keeps the old name.
        f.store.relocate(first, bundleWithInfo(QStringLiteral(".sparsebundle"), QByteArray()));
        QCOMPARE(f.current(first).name, QStringLiteral("Renamed"));
        QCOMPARE(f.current(first).bundlePath, m_env.home() + QStringLiteral("/.sparsebundle"));
        QVERIFY(!f.current(first).excludedFromCloud);
    }

    void renameRenamesFileAndVolume()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Before"), m_password);
        QVERIFY(QCoro::waitFor(f.store.unlock(vault, m_text, false, QStringLiteral("password"))));
        QCoro::waitFor(f.store.rename(vault, QStringLiteral("After"), m_text));
        QCOMPARE(f.error(), QStringLiteral("Lock “Before” first, then rename it."));
        QCoro::waitFor(f.store.lock(vault, false, QStringLiteral("manual")));
        f.store.setErrorMessage(std::nullopt);

        QCoro::waitFor(f.store.rename(vault, QStringLiteral("Before"), m_text));
        QCOMPARE(f.error(), QStringLiteral("A vault named “Before” already exists in that folder."));
        f.store.setErrorMessage(std::nullopt);
        QCoro::waitFor(f.store.rename(vault, QStringLiteral("After"), QStringLiteral("wrong")));
        QCOMPARE(f.error(), QStringLiteral("Wrong password."));
        f.store.setErrorMessage(std::nullopt);

        // The record changed since (the unlock set lastOpenedAt); the rename still finds it.
        QCoro::waitFor(f.store.rename(vault, QStringLiteral("After"), m_text));
        QVERIFY2(f.error().isEmpty(), qPrintable(f.error()));
        const Vault renamed = f.current(vault);
        QCOMPARE(renamed.name, QStringLiteral("After"));
        QCOMPARE(renamed.bundlePath, m_env.home() + QStringLiteral("/After.sparsebundle"));
        QVERIFY(renamed.lastOpenedAt);
        QVERIFY(QFileInfo::exists(renamed.bundlePath) && !QFileInfo::exists(vault.bundlePath));
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(f.store.busyVaults().isEmpty());
        // The volume inside carries the new name.
        QVERIFY(QCoro::waitFor(f.store.unlock(renamed, m_text, false, QStringLiteral("password"))));
        QCOMPARE(f.mountPoint(renamed), m_env.home() + QStringLiteral("/Vaults/After"));
    }

    void resizeAndCompact()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Sized"), m_password);
        QCoro::waitFor(f.store.resize(vault, 256, m_text));
        QVERIFY(f.error().isEmpty());
        QCOMPARE(f.current(vault).maxSizeMB, 256);
        QCOMPARE(VaultList::load(f.store.storeURL()).first().maxSizeMB, 256);

        QVERIFY(QCoro::waitFor(f.store.unlock(vault, m_text, false, QStringLiteral("password"))));
        QVERIFY(writeAll(f.mountPoint(vault) + QStringLiteral("/filler.bin"),
                         QByteArray(100 * 1024 * 1024, 'x')));
        QCoro::waitFor(f.store.lock(vault, false, QStringLiteral("manual")));
        QCoro::waitFor(f.store.resize(vault, 32, m_text));
        QCOMPARE(f.error(),
                 QStringLiteral(
                     "The new limit is smaller than the space the files inside currently use. Delete files "
                     "first (and reclaim free space), or choose a larger limit."));
        QCOMPARE(f.current(vault).maxSizeMB, 256);
        f.store.setErrorMessage(std::nullopt);

        QVERIFY(QCoro::waitFor(f.store.unlock(vault, m_text, false, QStringLiteral("password"))));
        QVERIFY(QFile::remove(f.mountPoint(vault) + QStringLiteral("/filler.bin")));
        QCoro::waitFor(f.store.lock(vault, false, QStringLiteral("manual")));
        const qint64 before = f.store.sizesOnDisk().value(vault.id);
        QVERIFY(before > 90 * 1024 * 1024);
        QCoro::waitFor(f.store.compact(vault, m_text));
        QVERIFY(f.error().isEmpty());
        QVERIFY(f.store.sizesOnDisk().value(vault.id) < 20 * 1024 * 1024);
        QVERIFY(f.store.busyVaults().isEmpty());
    }

    void changePasswordKeepsTheKeychainInStep()
    {
        StoreFixture &f = *m_fixture;
        const Vault saved = f.addVault(QStringLiteral("Saved"), m_password);
        const Vault unsaved = f.addVault(QStringLiteral("Unsaved"), m_password);
        savePassword(m_text, saved.id);
        QCoro::waitFor(f.store.changePassword(saved, m_text, QStringLiteral("brand-new-pass")));
        QCoro::waitFor(f.store.changePassword(unsaved, m_text, QStringLiteral("brand-new-pass")));
        QVERIFY(f.error().isEmpty());
        QCOMPARE(savedPassword(saved.id), QStringLiteral("brand-new-pass"));
        QVERIFY(!savedPassword(unsaved.id));
        QCoro::waitFor(f.store.changePassword(saved, QStringLiteral("not-it"), QStringLiteral("x-new-pass")));
        QCOMPARE(f.error(), QStringLiteral("Wrong password."));
        f.store.setErrorMessage(std::nullopt);
        QVERIFY(QCoro::waitFor(
            f.store.unlock(saved, QStringLiteral("brand-new-pass"), false, QStringLiteral("password"))));
        QCoro::waitFor(
            f.store.changePassword(saved, QStringLiteral("brand-new-pass"), QStringLiteral("x-new-pass")));
        QCOMPARE(f.error(), QStringLiteral("Lock “Saved” first, then change its password."));
    }

    void cloudExclusionRenamesTheFile()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Cloudy"), m_password);
        f.store.setCloudExclusion(vault, true);
        QCOMPARE(f.current(vault).bundlePath, m_env.home() + QStringLiteral("/Cloudy.nosync"));
        QVERIFY(f.current(vault).excludedFromCloud);
        QVERIFY(QCoro::waitFor(f.store.unlock(f.current(vault), m_text, false, QStringLiteral("password"))));
        f.store.setCloudExclusion(vault, false);
        QCOMPARE(f.error(), QStringLiteral("Lock “Cloudy” first, then change its iCloud setting."));
        QCoro::waitFor(f.store.lock(vault, false, QStringLiteral("manual")));
        f.store.setCloudExclusion(vault, false);
        QCOMPARE(f.current(vault).bundlePath, m_env.home() + QStringLiteral("/Cloudy.sparsebundle"));
        QVERIFY(!f.current(vault).excludedFromCloud);
    }

    void optionsAndHint()
    {
        StoreFixture &f = *m_fixture;
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Opts.sparsebundle"), QByteArray()));
        const Vault vault = f.store.vaults().first();
        f.store.updateOptions(vault, true, false, true);
        f.store.updatePasswordHint(vault, QStringLiteral("first pet"));
        const Vault stored = VaultList::load(f.store.storeURL()).first();
        QVERIFY(stored.requireTouchID && !stored.openInFinderAfterUnlock && stored.autoOpenAtLaunch);
        QCOMPARE(stored.passwordHint, QStringLiteral("first pet"));
        f.store.updatePasswordHint(vault, std::nullopt);
        QVERIFY(!VaultList::load(f.store.storeURL()).first().passwordHint);
    }

    void deleteMovesToTheTrash()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = f.addVault(QStringLiteral("Doomed"), m_password);
        savePassword(m_text, vault.id);
        QVERIFY(QCoro::waitFor(f.store.unlock(vault, m_text, false, QStringLiteral("password"))));
        QFile open(f.mountPoint(vault) + QStringLiteral("/busy.txt"));
        QVERIFY(open.open(QIODevice::WriteOnly));
        QCoro::waitFor(f.store.deleteVault(vault));
        QVERIFY(f.error().startsWith(QStringLiteral("Could not lock vault")));
        QVERIFY(QFileInfo::exists(vault.bundlePath));
        QCOMPARE(f.store.vaults().size(), 1);
        open.close();
        f.store.setErrorMessage(std::nullopt);

        QCoro::waitFor(f.store.deleteVault(vault));
        QVERIFY2(f.error().isEmpty(), qPrintable(f.error()));
        QVERIFY(!QFileInfo::exists(vault.bundlePath));
        QVERIFY(
            QFileInfo::exists(m_env.data() + QStringLiteral("/Trash/files/Doomed.sparsebundle/Info.plist")));
        QVERIFY(f.store.vaults().isEmpty());
        QVERIFY(VaultList::load(f.store.storeURL()).isEmpty());
        QVERIFY(!savedPassword(vault.id));
        QCOMPARE(f.activityTexts().first(), QStringLiteral("Doomed locked (manual)"));
    }

    void removeFromListKeepsTheFile()
    {
        StoreFixture &f = *m_fixture;
        f.store.addExistingVault(bundleWithInfo(QStringLiteral("Forget.sparsebundle"), QByteArray()));
        const Vault vault = f.store.vaults().first();
        savePassword(QStringLiteral("whatever"), vault.id);
        QCoro::waitFor(f.store.removeFromList(vault));
        QVERIFY(f.store.vaults().isEmpty());
        QVERIFY(VaultList::load(f.store.storeURL()).isEmpty());
        QVERIFY(!savedPassword(vault.id));
        QVERIFY(QFileInfo::exists(vault.bundlePath));
        QVERIFY(f.activityTexts().isEmpty());
    }
};

QTEST_MAIN(TestVaultStoreMaintenance)
#include "tst_vaultstore_maintenance.moc"

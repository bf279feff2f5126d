#include "FakeTools.h"
#include "StoreHarness.h"
#include "platform/SettingsKeys.h"

#include <QStorageInfo>
#include <QTest>

// The idle clock, the two timers' work and the launch-time unlock, with stand-in tools and a clock
// the test moves.
class TestVaultStoreAutoLock : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    std::unique_ptr<FakeTools> m_tools;
    std::unique_ptr<StoreFixture> m_fixture;

    void unlockNow(const Vault &vault) { QVERIFY(m_fixture->unlock(vault, u"pw"_s)); }

    [[nodiscard]] int toolCalls(const QString &verb) const
    {
        int count = 0;
        for (const FakeTools::Call &call : m_tools->calls())
            count += (call.arguments.value(0) == verb || call.tool == verb) ? 1 : 0;
        return count;
    }

private Q_SLOTS:
    void init()
    {
        m_tools = std::make_unique<FakeTools>();
        m_tools->respondAttachAt(m_env.root() + u"/volume"_s);
        m_tools->respondSizeKB(2048);
        m_fixture = std::make_unique<StoreFixture>(m_env);
        SettingsKeys::registerDefaults(m_fixture->defaults);
    }

    void cleanup()
    {
        m_fixture.reset();
        m_tools.reset();
    }

    void idleVaultsLockAfterTheirMinutes()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = m_fixture->listVault(u"Idle"_s);
        f.defaults.setValue(SettingsKeys::autoLockMinutes, qint64(0)); // treated as one minute
        unlockNow(vault);
        f.clock = f.clock.addSeconds(60);
        QCoro::waitFor(f.store.autoLockTick());
        QVERIFY(f.store.isUnlocked(vault.id));
        f.clock = f.clock.addSeconds(1);
        QCoro::waitFor(f.store.autoLockTick());
        QVERIFY(!f.store.isUnlocked(vault.id));
        QCOMPARE(f.activityTexts().first(), u"Idle locked (auto)"_s);
        QCOMPARE(f.store.sizesOnDisk().value(vault.id), 2097152);
    }

    void touchesRestartTheClock()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = m_fixture->listVault(u"Touched"_s);
        f.defaults.setValue(SettingsKeys::autoLockMinutes, qint64(5));
        unlockNow(vault);
        f.clock = f.clock.addSeconds(4 * 60);
        f.store.touchActivity(vault);
        f.clock = f.clock.addSeconds(4 * 60);
        QCoro::waitFor(f.store.autoLockTick());
        QVERIFY(f.store.isUnlocked(vault.id));
        f.clock = f.clock.addSeconds(61);
        QCoro::waitFor(f.store.autoLockTick());
        QVERIFY(!f.store.isUnlocked(vault.id));
        // Touching a locked vault starts nothing.
        f.store.touchActivity(vault);
        QVERIFY(!f.store.unlockedAt(vault.id));
    }

    void disabledAutoLockWaitsUntilEnabled()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = m_fixture->listVault(u"Kept"_s);
        f.defaults.setValue(SettingsKeys::autoLockEnabled, false);
        unlockNow(vault);
        f.clock = f.clock.addSeconds(24 * 3600);
        QCoro::waitFor(f.store.autoLockTick());
        QVERIFY(f.store.isUnlocked(vault.id));
        // Read at the tick: no restart needed.
        f.defaults.setValue(SettingsKeys::autoLockEnabled, true);
        QCoro::waitFor(f.store.autoLockTick());
        QVERIFY(!f.store.isUnlocked(vault.id));
    }

    void busyVaultsAreSkipped()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = m_fixture->listVault(u"Working"_s);
        unlockNow(vault);
        f.clock = f.clock.addSeconds(3600);
        {
            BusyMark importing(f.store, vault.id);
            QCoro::waitFor(f.store.autoLockTick());
            QVERIFY(f.store.isUnlocked(vault.id));
        }
        QCoro::waitFor(f.store.autoLockTick());
        QVERIFY(!f.store.isUnlocked(vault.id));
    }

    void rediscoveredVaultKeepsItsOldClock()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = m_fixture->listVault(u"Again"_s);
        const auto reportAttached = [&] {
            m_tools->respond(u"hdiutil-info"_s, infoPlist({{vault.bundlePath, u"/mnt/again"_s}}));
        };
        reportAttached();
        QCoro::waitFor(f.store.refresh());
        const Timestamp discovered = f.clock;
        QCOMPARE(f.store.unlockedAt(vault.id), discovered);
        // Detached outside the program: locked at the next refresh, its clock left in place.
        m_tools->respond(u"hdiutil-info"_s, infoPlist({}));
        QCoro::waitFor(f.store.refresh());
        QVERIFY(!f.store.isUnlocked(vault.id));
        reportAttached();
        f.clock = f.clock.addSeconds(20 * 60);
        QCoro::waitFor(f.store.refresh());
        QCOMPARE(f.store.unlockedAt(vault.id), discovered);
    }

    // A look at the attached images that answers after an unlock ended is older than the unlock:
    // the store asks again instead of taking the vault for locked.
    void aSlowRefreshDoesNotUndoAnUnlock()
    {
        StoreFixture &f = *m_fixture;
        const Vault vault = m_fixture->listVault(u"Raced"_s);
        m_tools->script(u"hdiutil-info"_s, "sleep 0.5\n", 1);
        m_tools->respond(u"hdiutil-info"_s, infoPlist({}), {}, 0, 1);
        m_tools->respond(u"hdiutil-info"_s, infoPlist({{vault.bundlePath, m_env.root() + u"/volume"_s}}));
        QCoro::Task<void> refreshing = f.store.refresh();
        unlockNow(vault);
        QCoro::waitFor(std::move(refreshing));
        QCOMPARE(f.mountPoint(vault), m_env.root() + u"/volume"_s);
        QCOMPARE(toolCalls(u"info"_s), 2);
    }

    void sizeRefreshAsksOnlyUnlockedVolumes()
    {
        StoreFixture &f = *m_fixture;
        const Vault locked = m_fixture->listVault(u"Locked"_s);
        const Vault open = m_fixture->listVault(u"Open"_s);
        m_tools->clearCalls();
        QCoro::waitFor(f.store.refreshUnlockedSizes());
        QVERIFY(m_tools->calls().isEmpty());
        QVERIFY(f.store.sizesOnDisk().isEmpty());

        unlockNow(open);
        m_tools->clearCalls();
        QCoro::waitFor(f.store.refreshUnlockedSizes());
        // Measured from the volume itself: no tool runs, and the locked vault is left alone.
        QVERIFY(m_tools->calls().isEmpty());
        const QStorageInfo volume(f.mountPoint(open));
        QVERIFY(qAbs(f.store.sizesOnDisk().value(open.id) - (volume.bytesTotal() - volume.bytesFree())) <
                64 * 1024 * 1024);
        QVERIFY(!f.store.sizesOnDisk().contains(locked.id));
    }

    void launchUnlocksMarkedVaultsOnce()
    {
        StoreFixture &f = *m_fixture;
        const Vault keyed = m_fixture->listVault(u"Keyed"_s, true);
        const Vault first = m_fixture->listVault(u"AskFirst"_s, true);
        const Vault second = m_fixture->listVault(u"AskSecond"_s, true);
        const Vault plain = m_fixture->listVault(u"Plain"_s);
        Vault gone = m_fixture->listVault(u"Gone"_s, true);
        QVERIFY(QDir(gone.bundlePath).removeRecursively());
        savePassword(u"pw"_s, keyed.id);

        QCoro::waitFor(f.store.autoOpenFavorites());
        QVERIFY(f.store.isUnlocked(keyed.id));
        QCOMPARE(f.activityTexts(), QStringList{u"Keyed unlocked · keyring"_s});
        // Each request without a saved password replaced the prompt: the last one is left.
        QCOMPARE(f.store.passwordPromptVault()->id, second.id);
        QVERIFY(!f.store.isUnlocked(first.id) && !f.store.isUnlocked(plain.id));
        QVERIFY(f.dialogs.shown.isEmpty());
        QCOMPARE(toolCalls(u"attach"_s), 1);

        QCoro::waitFor(f.store.lock(keyed, false, u"manual"_s));
        QCoro::waitFor(f.store.autoOpenFavorites());
        QVERIFY(!f.store.isUnlocked(keyed.id));
        QCoro::waitFor(Keychain::deletePassword(keyed.id));
    }
};

QTEST_MAIN(TestVaultStoreAutoLock)
#include "tst_vaultstore_autolock.moc"

#include "StoreHarness.h"

#include <QProcess>
#include <QTest>

#include <csignal>

// The real program, quit with SIGTERM while two real vaults are unlocked.
class TestAppQuit : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "quit-pass";

    // Whether a process has installed its own SIGTERM handler yet (SigCgt in /proc/<pid>/status).
    static bool catchesTerm(qint64 pid)
    {
        for (const QByteArray &line : readAll(u"/proc/%1/status"_s.arg(pid)).split('\n')) {
            if (line.startsWith("SigCgt:"))
                return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
        }
        return false;
    }

    QStringList prepareTwoUnlockedVaults()
    {
        QList<Vault> vaults;
        QStringList mountPoints;
        for (const char *name : {"Alpha", "Beta"}) {
            const Vault vault =
                testVault(QLatin1String(name), m_env.home() + u'/' + name + u".sparsebundle"_s);
            if (createVault(vault.bundlePath, vault.name, 64, m_password).status != 0)
                return {};
            mountPoints << attachVault(vault.bundlePath, m_password);
            vaults << vault;
        }
        return VaultList::save(VaultList::openStoreFile(m_env.data()), vaults) ? mountPoints : QStringList();
    }

    int runAndTerminate()
    {
        QProcess app;
        app.start(QStringLiteral(HOLLOWKEEP_EXE), {});
        if (!app.waitForStarted())
            return -1;
        if (!QTest::qWaitFor([&] { return catchesTerm(app.processId()); }, 20000))
            return -2;
        ::kill(pid_t(app.processId()), SIGTERM);
        if (!app.waitForFinished(60000))
            return -3;
        return app.exitStatus() == QProcess::NormalExit ? app.exitCode() : -4;
    }

    [[nodiscard]] QStringList activityTexts() const
    {
        UserDefaults defaults(m_env.config() + u"/org.hollowkeep.Hollowkeep.json"_s);
        return textsOf(ActivityLog::load(defaults));
    }

private Q_SLOTS:
    void cleanup()
    {
        detachEverything(m_env.root());
        clearFolders(m_env);
    }

    void quitLocksEveryVaultInOrder()
    {
        const QStringList mountPoints = prepareTwoUnlockedVaults();
        QCOMPARE(mountPoints.size(), 2);
        QCOMPARE(fuseMountsBelow(m_env.home()).size(), 2);
        QCOMPARE(runAndTerminate(), 0);
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QCOMPARE(activityTexts(), (QStringList{"Beta locked (quit)", "Alpha locked (quit)"}));
    }

    void quitWithLockOnQuitOffLeavesThemMounted()
    {
        const QStringList mountPoints = prepareTwoUnlockedVaults();
        UserDefaults(m_env.config() + u"/org.hollowkeep.Hollowkeep.json"_s).setValue(u"lockOnQuit"_s, false);
        QCOMPARE(runAndTerminate(), 0);
        QCOMPARE(fuseMountsBelow(m_env.home()).size(), 2);
        QVERIFY(activityTexts().isEmpty());
        QCOMPARE(readAll(mountPoints.first() + u"/.trackerignore"_s), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestAppQuit)
#include "tst_app_quit.moc"

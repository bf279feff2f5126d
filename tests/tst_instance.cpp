#include "StoreHarness.h"

#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

// The real program twice on one private session bus: the first owns the vaults, a second launch
// and the command line reach it.
class TestInstance : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "instance-pass";
    QProcess m_first;
    QString m_mountPoint;

    static ToolRun run(const QStringList &arguments, const QByteArray &input = {})
    {
        return runProgram(QStringLiteral(HOLLOWKEEP_EXE), arguments, input);
    }
    static bool instanceRunning()
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.hollowkeep.Hollowkeep"_s);
    }
    static QJsonObject listed(const QString &name)
    {
        for (const QJsonValue &row : QJsonDocument::fromJson(run({u"list"_s, u"--json"_s}).out).array())
            if (row[u"name"_s] == name)
                return row.toObject();
        return {};
    }

private Q_SLOTS:
    void initTestCase()
    {
        const Vault vault = testVault(u"Ledger"_s, m_env.home() + u"/Ledger.sparsebundle"_s);
        QCOMPARE(createVault(vault.bundlePath, vault.name, 64, m_password).status, 0);
        QVERIFY(VaultList::save(VaultList::openStoreFile(m_env.data()), {vault}));
    }
    void cleanupTestCase()
    {
        if (m_first.state() != QProcess::NotRunning) {
            m_first.terminate();
            m_first.waitForFinished(60000);
        }
        detachEverything(m_env.root());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    // Without a running instance, list reads the vaults itself and changes nothing.
    void listWithoutAnInstance()
    {
        QVERIFY(!instanceRunning());
        const QJsonObject row = listed(u"Ledger"_s);
        QCOMPARE(row[u"state"_s].toString(), u"locked"_s);
        QCOMPARE(row[u"mountPoint"_s].toString(), QString());
        QVERIFY(row[u"bytesOnDisk"_s].toInteger() > 0);
        QVERIFY(run({u"list"_s}).out.startsWith("NAME"));
        QCOMPARE(run({u"lock"_s}).status, 2);
    }

    // A second launch shows the first one's window and ends; the first keeps the name.
    void secondLaunchEnds()
    {
        m_first.start(QStringLiteral(HOLLOWKEEP_EXE), {});
        QTRY_VERIFY_WITH_TIMEOUT(instanceRunning(), 20000);
        const uint owner = QDBusConnection::sessionBus().interface()->servicePid(u"org.hollowkeep.Hollowkeep"_s);
        QCOMPARE(qint64(owner), m_first.processId());
        const ToolRun second = run({u"--settings"_s});
        QCOMPARE(second.status, 0);
        QCOMPARE(m_first.state(), QProcess::Running);
        QCOMPARE(QDBusConnection::sessionBus().interface()->servicePid(u"org.hollowkeep.Hollowkeep"_s).value(), owner);
    }

    // A wrong password fails with the store's message and mounts nothing; the right one mounts
    // the vault in the first instance, which lists it; lock --all unmounts it.
    void unlockAndLockThroughTheInstance()
    {
        const ToolRun wrong = run({u"unlock"_s, u"Ledger"_s, u"--password-stdin"_s}, "not-it\n");
        QCOMPARE(wrong.status, 1);
        QCOMPARE(wrong.err, "hollowkeep: Wrong password for “Ledger”.\n"_ba);
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());

        QCOMPARE(run({u"unlock"_s, u"Nobody"_s, u"--password-stdin"_s}, m_password).status, 1);
        const ToolRun right = run({u"unlock"_s, u"ledger"_s, u"--password-stdin"_s}, m_password + "\n");
        QVERIFY2(right.status == 0, right.err.constData());
        QVERIFY(processFilesContaining(m_password).isEmpty());
        const QJsonObject row = listed(u"Ledger"_s);
        QCOMPARE(row[u"state"_s].toString(), u"unlocked"_s);
        m_mountPoint = row[u"mountPoint"_s].toString();
        QVERIFY(fuseMountsBelow(m_env.root()).contains(m_mountPoint));

        const ToolRun locked = run({u"lock"_s, u"--all"_s});
        QVERIFY2(locked.status == 0, locked.err.constData());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QCOMPARE(listed(u"Ledger"_s)[u"state"_s].toString(), u"locked"_s);
        QCOMPARE(run({u"open"_s, u"Ledger"_s}).err, "hollowkeep: “Ledger” is locked.\n"_ba);
        // Without a saved password and without --password-stdin there is nothing to unlock with.
        QVERIFY(run({u"unlock"_s, u"Ledger"_s}).err.contains("--password-stdin"));
    }
};

QTEST_GUILESS_MAIN(TestInstance)
#include "tst_instance.moc"

#include "StoreHarness.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

// The real program twice on one private session bus: the first owns the vaults, a second launch
// and the command line reach it.
class TestInstance : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "instance-pass";
    QProcess m_first;
    QString m_mountPoint;

    static ToolRun run(const QStringList &arguments, const QByteArray &input = {}, int timeoutMs = 300000)
    {
        return runProgram(QStringLiteral(HOLLOWKEEP_EXE), arguments, input,
                          QProcessEnvironment::systemEnvironment(), timeoutMs);
    }
    // Calls UnlockWithPassword with that descriptor as the password, without waiting.
    static QDBusPendingCall unlockThrough(int descriptor)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(u"org.hollowkeep.Hollowkeep"_s, u"/org/hollowkeep/Hollowkeep"_s,
                                                           u"org.hollowkeep.Hollowkeep"_s, u"UnlockWithPassword"_s);
        call.setArguments({u"Ledger"_s, QVariant::fromValue(QDBusUnixFileDescriptor(descriptor))});
        ::close(descriptor);
        return QDBusConnection::sessionBus().asyncCall(call, 60000);
    }
    // The instance's resident memory.
    [[nodiscard]] qint64 residentBytes() const
    {
        const QByteArray status = readAll(u"/proc/%1/status"_s.arg(m_first.processId()));
        const qsizetype at = status.indexOf("VmRSS:");
        return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').first().toLongLong() * 1024;
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
        // Listed, but its file is gone.
        const Vault gone = testVault(u"Gone"_s, m_env.home() + u"/Gone.sparsebundle"_s);
        QVERIFY(VaultList::save(VaultList::openStoreFile(m_env.data()), {vault, gone}));
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

    // A client holding its password pipe open and one passing an endless device do not stall the
    // instance: lock --all answers while the first still waits, memory stays small, and each
    // client hears why its password was refused. A vault whose file is gone is refused at once,
    // without waiting on a dialog in the window.
    void clientsCannotStallTheInstance()
    {
        int held[2];
        QVERIFY(::pipe2(held, O_CLOEXEC) == 0);
        QDBusPendingCall heldOpen = unlockThrough(held[0]);
        QDBusPendingCall endless = unlockThrough(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
        int tooLong[2];
        QVERIFY(::pipe2(tooLong, O_CLOEXEC) == 0);
        QCOMPARE(::write(tooLong[1], QByteArray(60001, 'p').constData(), 60001), 60001);
        ::close(tooLong[1]);
        QDBusPendingCall overlong = unlockThrough(tooLong[0]);

        QElapsedTimer answered;
        answered.start();
        const ToolRun locked = run({u"lock"_s, u"--all"_s}, {}, 20000);
        QCOMPARE(locked.status, 0);
        qInfo("lock --all answered in %lld ms; the instance holds %lld MB", answered.elapsed(),
              residentBytes() >> 20);
        QVERIFY(!heldOpen.isFinished());
        QVERIFY(residentBytes() > 0 && residentBytes() < 200 * 1024 * 1024);

        const ToolRun gone = run({u"unlock"_s, u"Gone"_s}, {}, 20000);
        QCOMPARE(gone.status, 1);
        QVERIFY2(gone.err.startsWith("hollowkeep: “Gone” is not in that location: there is no vault file at "),
                 gone.err.constData());

        endless.waitForFinished();
        QCOMPARE(endless.error().message(), u"The password must come through a pipe."_s);
        overlong.waitForFinished();
        QCOMPARE(overlong.error().message(), u"The password is longer than 60000 bytes."_s);
        heldOpen.waitForFinished();
        QCOMPARE(heldOpen.error().message(), u"The password did not arrive: the pipe was not closed."_s);
        ::close(held[1]);
        QCOMPARE(listed(u"Ledger"_s)[u"state"_s].toString(), u"locked"_s);
        QVERIFY(residentBytes() < 200 * 1024 * 1024);
    }
};

QTEST_GUILESS_MAIN(TestInstance)
#include "tst_instance.moc"

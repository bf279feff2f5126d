#include "FakeTools.h"
#include "platform/Keychain.h"

#include <QProcess>
#include <QTest>
#include <qt6keychain/keychain.h>

#include <QCoro/QCoroSignal>

// Saved passwords in a real Secret Service (GNOME Keyring in a private D-Bus session).
class TestKeychain : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

    static std::optional<QString> saved(const QUuid &id) { return QCoro::waitFor(Keychain::password(id)); }

    // Every item of the service, as secret-tool sees it.
    static QByteArray itemsOf(const QUuid &id)
    {
        QProcess tool;
        tool.start(u"secret-tool"_s, {u"search"_s, u"--all"_s, u"server"_s, Keychain::serviceName(),
                                      u"user"_s, id.toString(QUuid::WithoutBraces).toUpper()});
        tool.waitForFinished();
        return tool.readAllStandardOutput() + tool.readAllStandardError();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("KEYCHAIN_PROBE"))
            QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"), "run through with-keyring.sh");
    }

    void saveReadReplaceDelete()
    {
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        QVERIFY(!saved(first));
        QCoro::waitFor(Keychain::savePassword(u"first “secret” ✓"_s, first));
        QCOMPARE(saved(first), u"first “secret” ✓"_s);
        // Saving again replaces: one item holding the second password.
        QCoro::waitFor(Keychain::savePassword(u"replaced"_s, first));
        QCOMPARE(saved(first), u"replaced"_s);
        const QByteArray items = itemsOf(first);
        QCOMPARE(items.count("[/"), 1);
        QVERIFY2(items.contains("secret = replaced"), items.constData());
        QVERIFY(items.contains("attribute.user = " + first.toString(QUuid::WithoutBraces).toUpper().toLatin1()));
        // Vaults never share an item.
        QCoro::waitFor(Keychain::savePassword(u"other"_s, second));
        QCOMPARE(saved(first), u"replaced"_s);
        QCOMPARE(saved(second), u"other"_s);
        QCoro::waitFor(Keychain::deletePassword(first));
        QVERIFY(!saved(first));
        QCOMPARE(saved(second), u"other"_s);
        // Deleting what is not there is harmless.
        QCoro::waitFor(Keychain::deletePassword(first));
        QVERIFY(!saved(first));
        // An item that is not UTF-8 text reads as no password.
        QKeychain::WritePasswordJob job(Keychain::serviceName());
        job.setAutoDelete(false);
        job.setKey(first.toString(QUuid::WithoutBraces).toUpper());
        job.setBinaryData(QByteArray("\xff\xfe\xfd", 3));
        job.start();
        QCoro::waitFor(qCoro(&job, &QKeychain::Job::finished));
        QCOMPARE(job.error(), QKeychain::NoError);
        QVERIFY(!saved(first));
    }

    void noSecretServiceReadsAsNoPassword()
    {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent/bus"_s);
        environment.insert(u"KEYCHAIN_PROBE"_s, u"1"_s);
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {u"probeWithoutService"_s});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
    }

    // Run in a child without a session bus by the test above.
    void probeWithoutService()
    {
        if (qEnvironmentVariableIsEmpty("KEYCHAIN_PROBE"))
            return;
        const QUuid id = QUuid::createUuid();
        QCoro::waitFor(Keychain::savePassword(u"nowhere"_s, id));
        QVERIFY(!saved(id));
        QCoro::waitFor(Keychain::deletePassword(id));
    }
};

QTEST_GUILESS_MAIN(TestKeychain)
#include "tst_keychain.moc"

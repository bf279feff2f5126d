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
        tool.start(QStringLiteral("secret-tool"),
                   {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("server"),
                    Keychain::serviceName(), QStringLiteral("user"),
                    id.toString(QUuid::WithoutBraces).toUpper()});
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
        QCoro::waitFor(Keychain::savePassword(QStringLiteral("first “secret” ✓"), first));
        QCOMPARE(saved(first), QStringLiteral("first “secret” ✓"));
        // Saving again replaces: one item holding the second password.
        QCoro::waitFor(Keychain::savePassword(QStringLiteral("replaced"), first));
        QCOMPARE(saved(first), QStringLiteral("replaced"));
        QCOMPARE(itemsOf(first).count("[/"), 1);
        // Vaults never share an item.
        QCoro::waitFor(Keychain::savePassword(QStringLiteral("other"), second));
        QCOMPARE(saved(first), QStringLiteral("replaced"));
        QCOMPARE(saved(second), QStringLiteral("other"));
        QCoro::waitFor(Keychain::deletePassword(first));
        QVERIFY(!saved(first));
        QCOMPARE(saved(second), QStringLiteral("other"));
        // Deleting what is not there is harmless.
        QCoro::waitFor(Keychain::deletePassword(first));
        QVERIFY(!saved(first));
    }

    void itemsAreKeyedByServiceAndUpperCaseAccount()
    {
        const QUuid id = QUuid::createUuid();
        QCoro::waitFor(Keychain::savePassword(QStringLiteral("visible"), id));
        const QByteArray items = itemsOf(id);
        QVERIFY2(items.contains("secret = visible"), items.constData());
        QVERIFY(items.contains("attribute.user = " + id.toString(QUuid::WithoutBraces).toUpper().toLatin1()));
        QVERIFY(Keychain::serviceName().contains(QLatin1Char('.')));
    }

    void invalidUtf8ReadsAsNothing()
    {
        const QUuid id = QUuid::createUuid();
        QKeychain::WritePasswordJob job(Keychain::serviceName());
        job.setAutoDelete(false);
        job.setKey(id.toString(QUuid::WithoutBraces).toUpper());
        job.setBinaryData(QByteArray("\xff\xfe\xfd", 3));
        job.start();
        QCoro::waitFor(qCoro(&job, &QKeychain::Job::finished));
        QCOMPARE(job.error(), QKeychain::NoError);
        QVERIFY(!saved(id));
    }

    void noSecretServiceReadsAsNoPassword()
    {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent/bus"));
        environment.insert(QStringLiteral("KEYCHAIN_PROBE"), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("probeWithoutService")});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
    }

    // Run in a child without a session bus by the test above.
    void probeWithoutService()
    {
        if (qEnvironmentVariableIsEmpty("KEYCHAIN_PROBE"))
            return;
        const QUuid id = QUuid::createUuid();
        QCoro::waitFor(Keychain::savePassword(QStringLiteral("nowhere"), id));
        QVERIFY(!saved(id));
        QCoro::waitFor(Keychain::deletePassword(id));
    }
};

QTEST_GUILESS_MAIN(TestKeychain)
#include "tst_keychain.moc"

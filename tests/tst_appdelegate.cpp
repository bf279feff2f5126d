#include "FakeTools.h"
#include "StoreHarness.h"
#include "app/AppDelegate.h"
#include "app/SettingsKeys.h"

#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// logind on the test's private bus: hands out sleep inhibitors as pipes and remembers them.
class FakeLogind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    QList<int> readEnds;
    QStringList requests;

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode)
    {
        requests << QStringList{what, who, why, mode}.join(QLatin1Char('|'));
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return {};
        readEnds << ends[0];
        QDBusUnixFileDescriptor descriptor(ends[1]);
        ::close(ends[1]);
        return descriptor;
    }
};

// The delegate's reactions to the desktop's signals, on a private D-Bus session.
class TestAppDelegate : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    std::unique_ptr<FakeTools> m_tools;
    std::unique_ptr<StoreFixture> m_fixture;
    std::unique_ptr<AppDelegate> m_delegate;
    QDBusConnection m_bus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("delegate"));
    QDBusConnection m_desktop =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("desktop"));
    FakeLogind m_logind;

    Vault listUnlocked(const QString &name)
    {
        const Vault vault = m_fixture->listVault(name);
        QCoro::waitFor(
            m_fixture->store.unlock(vault, QStringLiteral("pw"), false, QStringLiteral("password")));
        return vault;
    }

    void emitSignal(const QString &path, const QString &interface, const QString &name,
                    const QVariantList &arguments)
    {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal.setArguments(arguments);
        QVERIFY(m_desktop.send(signal));
    }

    static bool closedForWriting(int readEnd)
    {
        pollfd descriptor{readEnd, POLLIN, 0};
        char byte;
        return poll(&descriptor, 1, 0) == 1 && ::read(readEnd, &byte, 1) == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_bus.isConnected());
        QVERIFY(m_desktop.registerObject(QStringLiteral("/org/freedesktop/login1"), &m_logind,
                                         QDBusConnection::ExportAllSlots));
        QVERIFY(m_desktop.registerService(QStringLiteral("org.freedesktop.login1")));
    }

    void init()
    {
        m_tools = std::make_unique<FakeTools>();
        m_tools->respondAttachAt(m_env.root() + QStringLiteral("/volume"));
        m_fixture = std::make_unique<StoreFixture>(m_env);
        SettingsKeys::registerDefaults(m_fixture->defaults);
        m_delegate = std::make_unique<AppDelegate>(m_fixture->store, m_fixture->defaults, m_bus, m_bus);
        QSignalSpy inhibitor(m_delegate.get(), &AppDelegate::sleepInhibitorChanged);
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(inhibitor.wait(5000));
    }

    void cleanup()
    {
        m_delegate.reset();
        m_fixture.reset();
        m_tools.reset();
        clearFolders(m_env);
    }

    void screenLockFollowsTheSettingAtThatMoment()
    {
        StoreFixture &f = *m_fixture;
        const Vault first = listUnlocked(QStringLiteral("First"));
        const Vault second = listUnlocked(QStringLiteral("Second"));
        QSignalSpy finished(m_delegate.get(), &AppDelegate::systemLockFinished);

        f.defaults.setValue(SettingsKeys::lockOnScreenLock, false);
        emitSignal(QStringLiteral("/ScreenSaver"), QStringLiteral("org.freedesktop.ScreenSaver"),
                   QStringLiteral("ActiveChanged"), {true});
        QVERIFY(finished.wait(5000));
        QVERIFY(f.store.isUnlocked(first.id) && f.store.isUnlocked(second.id));

        // Turned on without a restart: the next screen lock locks everything, in list order.
        f.defaults.setValue(SettingsKeys::lockOnScreenLock, true);
        emitSignal(QStringLiteral("/org/gnome/ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver"),
                   QStringLiteral("ActiveChanged"), {true});
        QVERIFY(finished.wait(5000));
        QVERIFY(f.store.mountPoints().isEmpty());
        QCOMPARE(f.activityTexts().mid(0, 2),
                 (QStringList{"Second locked (screen locked)", "First locked (screen locked)"}));

        // The screen saver ending, and logind's session lock.
        listUnlocked(QStringLiteral("Third"));
        emitSignal(QStringLiteral("/ScreenSaver"), QStringLiteral("org.freedesktop.ScreenSaver"),
                   QStringLiteral("ActiveChanged"), {false});
        QTest::qWait(200);
        QCOMPARE(f.store.mountPoints().size(), 1);
        emitSignal(QStringLiteral("/org/freedesktop/login1/session/c1"),
                   QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"), {});
        QVERIFY(finished.wait(5000));
        QVERIFY(f.store.mountPoints().isEmpty());
    }

    void oneScreenLockHeardTwiceLocksOnce()
    {
        StoreFixture &f = *m_fixture;
        listUnlocked(QStringLiteral("First"));
        listUnlocked(QStringLiteral("Second"));
        m_tools->clearCalls();
        QSignalSpy finished(m_delegate.get(), &AppDelegate::systemLockFinished);
        emitSignal(QStringLiteral("/ScreenSaver"), QStringLiteral("org.freedesktop.ScreenSaver"),
                   QStringLiteral("ActiveChanged"), {true});
        emitSignal(QStringLiteral("/org/freedesktop/login1/session/c1"),
                   QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"), {});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 5000);
        QVERIFY(f.store.mountPoints().isEmpty());
        qsizetype detaches = 0;
        for (const FakeTools::Call &call : m_tools->calls())
            detaches += call.arguments.value(0) == QLatin1String("detach");
        QCOMPARE(detaches, 2);
        QCOMPARE(f.activityTexts().mid(0, 3),
                 (QStringList{"Second locked (screen locked)", "First locked (screen locked)",
                              "Second unlocked · password"}));
    }

    void sleepLocksThenReleasesTheInhibitor()
    {
        StoreFixture &f = *m_fixture;
        QVERIFY(m_delegate->holdsSleepInhibitor());
        QVERIFY(m_logind.requests.last().startsWith(QStringLiteral("sleep|Hollowkeep|")));
        QVERIFY(m_logind.requests.last().endsWith(QStringLiteral("|delay")));
        const int heldEnd = m_logind.readEnds.last();
        QVERIFY(!closedForWriting(heldEnd));

        listUnlocked(QStringLiteral("Sleepy"));
        QSignalSpy inhibitor(m_delegate.get(), &AppDelegate::sleepInhibitorChanged);
        emitSignal(QStringLiteral("/org/freedesktop/login1"),
                   QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                   {true});
        QVERIFY(inhibitor.wait(5000));
        // Locked first, then the inhibitor let go.
        QVERIFY(f.store.mountPoints().isEmpty());
        QCOMPARE(f.activityTexts().first(), QStringLiteral("Sleepy locked (sleep)"));
        QVERIFY(!m_delegate->holdsSleepInhibitor());
        QVERIFY(closedForWriting(heldEnd));

        // Waking up takes a new inhibitor for the next sleep.
        emitSignal(QStringLiteral("/org/freedesktop/login1"),
                   QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                   {false});
        QVERIFY(inhibitor.wait(5000));
        QVERIFY(m_delegate->holdsSleepInhibitor());
    }

    void sleepWithTheSettingOffLocksNothing()
    {
        StoreFixture &f = *m_fixture;
        f.defaults.setValue(SettingsKeys::lockOnSleep, false);
        const Vault vault = listUnlocked(QStringLiteral("Awake"));
        QSignalSpy inhibitor(m_delegate.get(), &AppDelegate::sleepInhibitorChanged);
        emitSignal(QStringLiteral("/org/freedesktop/login1"),
                   QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                   {true});
        QVERIFY(inhibitor.wait(5000));
        QVERIFY(f.store.isUnlocked(vault.id));
        QVERIFY(!m_delegate->holdsSleepInhibitor());
    }

    // Last: quitting ends the test's event loops.
    void quitWithNothingUnlockedAnswersAtOnce()
    {
        QCoro::waitFor(m_fixture->store.refresh());
        m_tools->clearCalls();
        QSignalSpy ready(m_delegate.get(), &AppDelegate::readyToQuit);
        m_delegate->quit();
        QCOMPARE(ready.size(), 1);
        QVERIFY(m_tools->calls().isEmpty());
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"

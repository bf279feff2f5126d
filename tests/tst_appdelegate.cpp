#include "FakeTools.h"
#include "StoreHarness.h"
#include "app/AppDelegate.h"
#include "app/HollowkeepApp.h"
#include "platform/SettingsKeys.h"

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
    QDBusConnection m_bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"delegate"_s);
    QDBusConnection m_desktop = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"desktop"_s);
    FakeLogind m_logind;

    Vault listUnlocked(const QString &name)
    {
        const Vault vault = m_fixture->listVault(name);
        m_fixture->unlock(vault, u"pw"_s);
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
        QVERIFY(m_desktop.registerObject(u"/org/freedesktop/login1"_s, &m_logind,
                                         QDBusConnection::ExportAllSlots));
        QVERIFY(m_desktop.registerService(u"org.freedesktop.login1"_s));
    }

    void init()
    {
        m_tools = std::make_unique<FakeTools>();
        m_tools->respondAttachAt(m_env.root() + u"/volume"_s);
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
    }

    void screenLockFollowsTheSettingAtThatMoment()
    {
        StoreFixture &f = *m_fixture;
        const Vault first = listUnlocked(u"First"_s);
        const Vault second = listUnlocked(u"Second"_s);
        QSignalSpy finished(m_delegate.get(), &AppDelegate::systemLockFinished);

        f.defaults.setValue(SettingsKeys::lockOnScreenLock, false);
        emitSignal(u"/ScreenSaver"_s, u"org.freedesktop.ScreenSaver"_s, u"ActiveChanged"_s, {true});
        QVERIFY(finished.wait(5000));
        QVERIFY(f.store.isUnlocked(first.id) && f.store.isUnlocked(second.id));

        // Turned on without a restart: the next screen lock locks everything, in list order, once
        // although the screen saver and logind both report it.
        f.defaults.setValue(SettingsKeys::lockOnScreenLock, true);
        m_tools->clearCalls();
        emitSignal(u"/org/gnome/ScreenSaver"_s, u"org.gnome.ScreenSaver"_s, u"ActiveChanged"_s, {true});
        emitSignal(u"/org/freedesktop/login1/session/c1"_s, u"org.freedesktop.login1.Session"_s, u"Lock"_s, {});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 5000);
        QVERIFY(f.store.mountPoints().isEmpty());
        qsizetype detaches = 0;
        for (const FakeTools::Call &call : m_tools->calls())
            detaches += call.arguments.value(0) == "detach"_L1;
        QCOMPARE(detaches, 2);
        QCOMPARE(f.activityTexts().mid(0, 3),
                 (QStringList{"Second locked (screen locked)", "First locked (screen locked)",
                              "Second unlocked · password"}));

        // The screen saver ending locks nothing.
        listUnlocked(u"Third"_s);
        emitSignal(u"/ScreenSaver"_s, u"org.freedesktop.ScreenSaver"_s, u"ActiveChanged"_s, {false});
        QTest::qWait(200);
        QCOMPARE(f.store.mountPoints().size(), 1);
    }

    // Sleep locks first and then lets the inhibitor go; waking up takes a new one. With the
    // setting off, sleep locks nothing and still lets the inhibitor go.
    void sleepLocksThenReleasesTheInhibitor()
    {
        StoreFixture &f = *m_fixture;
        QVERIFY(m_delegate->holdsSleepInhibitor());
        QVERIFY(m_logind.requests.last().startsWith(u"sleep|Hollowkeep|"_s));
        QVERIFY(m_logind.requests.last().endsWith(u"|delay"_s));
        const int heldEnd = m_logind.readEnds.last();
        QVERIFY(!closedForWriting(heldEnd));

        listUnlocked(u"Sleepy"_s);
        QSignalSpy inhibitor(m_delegate.get(), &AppDelegate::sleepInhibitorChanged);
        const auto prepareForSleep = [&](bool sleeping) {
            emitSignal(u"/org/freedesktop/login1"_s, u"org.freedesktop.login1.Manager"_s, u"PrepareForSleep"_s,
                       {sleeping});
            return inhibitor.wait(5000);
        };
        QVERIFY(prepareForSleep(true));
        QVERIFY(f.store.mountPoints().isEmpty());
        QCOMPARE(f.activityTexts().first(), u"Sleepy locked (sleep)"_s);
        QVERIFY(!m_delegate->holdsSleepInhibitor());
        QVERIFY(closedForWriting(heldEnd));
        QVERIFY(prepareForSleep(false));
        QVERIFY(m_delegate->holdsSleepInhibitor());

        f.defaults.setValue(SettingsKeys::lockOnSleep, false);
        const Vault awake = listUnlocked(u"Awake"_s);
        QVERIFY(prepareForSleep(true));
        QVERIFY(f.store.isUnlocked(awake.id));
        QVERIFY(!m_delegate->holdsSleepInhibitor());
    }

    // A missing Qt Quick module is named with its package before any window is tried.
    void missingQmlModulesAreNamed()
    {
        const QString imports = m_env.root() + u"/qml"_s;
        for (const char *module : {"QtQuick", "QtQuick/Window", "QtQuick/Templates", "QtQuick/Layouts", "QtQml/WorkerScript"}) {
            QDir().mkpath(imports + u'/' + QLatin1String(module));
            QFile(imports + u'/' + QLatin1String(module) + u"/qmldir"_s).open(QIODevice::WriteOnly);
        }
        QCOMPARE(HollowkeepApp::missingQmlModules({u"/nonexistent"_s, imports}),
                 QStringList{u"QtQuick.Controls (package qml6-module-qtquick-controls)"_s});
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

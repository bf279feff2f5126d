#include "AppDelegate.h"

#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"

#include <QCoreApplication>
#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QJSEngine>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

AppDelegate *theDelegate = nullptr;
int signalWriteEnd = -1;

void forwardSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: the event loop reads the byte.
    [[maybe_unused]] const ssize_t written = ::write(signalWriteEnd, &byte, 1);
}

} // namespace

AppDelegate::AppDelegate(VaultStore &store, UserDefaults &defaults, const QDBusConnection &sessionBus,
                         const QDBusConnection &systemBus, QObject *parent)
    : QObject(parent), m_store(store), m_defaults(defaults), m_sessionBus(sessionBus), m_systemBus(systemBus)
{
    theDelegate = this;
}

AppDelegate::~AppDelegate()
{
    if (theDelegate == this)
        theDelegate = nullptr;
}

AppDelegate *AppDelegate::create(QQmlEngine *, QJSEngine *)
{
    QJSEngine::setObjectOwnership(theDelegate, QJSEngine::CppOwnership);
    return theDelegate;
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Steps 1 to 5 need the windows: the application runs them before this.
    // 6, 7. Screen lock and sleep.
    observeSystemEvents();
    watchTerminationSignals();
}

void AppDelegate::observeSystemEvents()
{
    for (const QString &interface : {u"org.freedesktop.ScreenSaver"_qs, u"org.gnome.ScreenSaver"_qs})
        m_sessionBus.connect(QString(), QString(), interface, u"ActiveChanged"_qs, this,
                             SLOT(onScreenSaverActiveChanged(bool)));
    m_systemBus.connect(QString(), QString(), u"org.freedesktop.login1.Session"_qs, u"Lock"_qs, this,
                        SLOT(onSessionLock()));
    m_systemBus.connect(QString(), QString(), u"org.freedesktop.login1.Manager"_qs, u"PrepareForSleep"_qs,
                        this, SLOT(onPrepareForSleep(bool)));
    takeSleepInhibitor();
}

QCoro::Task<void> AppDelegate::takeSleepInhibitor()
{
    // A "delay" inhibitor gives the vaults a moment to lock before the machine sleeps.
    QDBusMessage call =
        QDBusMessage::createMethodCall(u"org.freedesktop.login1"_qs, u"/org/freedesktop/login1"_qs,
                                       u"org.freedesktop.login1.Manager"_qs, u"Inhibit"_qs);
    call << u"sleep"_qs << u"Hollowkeep"_qs << u"Locking vaults before sleep"_qs << u"delay"_qs;
    const QDBusMessage reply = co_await m_systemBus.asyncCall(call, 5000);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        m_sleepInhibitor = reply.arguments().first().value<QDBusUnixFileDescriptor>();
    Q_EMIT sleepInhibitorChanged();
}

void AppDelegate::watchTerminationSignals()
{
    if (signalWriteEnd >= 0 || ::pipe2(m_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    signalWriteEnd = m_signalPipe[1];
    auto *notifier = new QSocketNotifier(m_signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        while (::read(m_signalPipe[0], &byte, 1) > 0) {
        }
        quit();
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

void AppDelegate::onScreenSaverActiveChanged(bool active)
{
    if (active)
        lockAllFor(SettingsKeys::lockOnScreenLock, u"screen locked"_qs);
}

void AppDelegate::onSessionLock()
{
    lockAllFor(SettingsKeys::lockOnScreenLock, u"screen locked"_qs);
}

void AppDelegate::onPrepareForSleep(bool starting)
{
    if (starting)
        lockBeforeSleep();
    else
        takeSleepInhibitor();
}

QCoro::Task<void> AppDelegate::lockAllFor(QString settingKey, QString reason)
{
    const bool wanted = m_defaults.boolValue(settingKey);
    if (wanted)
        co_await m_store.lockAll(true, reason);
    Q_EMIT systemLockFinished(reason);
}

QCoro::Task<void> AppDelegate::lockBeforeSleep()
{
    co_await lockAllFor(SettingsKeys::lockOnSleep, u"sleep"_qs);
    // Closing the inhibitor lets the machine go to sleep.
    m_sleepInhibitor = QDBusUnixFileDescriptor();
    Q_EMIT sleepInhibitorChanged();
}

void AppDelegate::quit()
{
    if (m_quitting)
        return;
    m_quitting = true;
    lockThenQuit();
}

QCoro::Task<void> AppDelegate::lockThenQuit()
{
    // Quits whatever the outcome: a vault that refuses to lock stays attached. Decided from what
    // the store knows, so that a quit with nothing unlocked is answered at once; only a quit
    // before the first look at what is attached (right after start-up) looks first.
    const bool lockOnQuit = m_defaults.boolValue(SettingsKeys::lockOnQuit);
    if (lockOnQuit && !m_store.knowsMountPoints())
        co_await m_store.refreshMountPoints();
    if (lockOnQuit && !m_store.mountPoints().isEmpty())
        co_await m_store.lockAll(true, u"quit"_qs);
    Q_EMIT readyToQuit();
    QCoreApplication::quit();
}

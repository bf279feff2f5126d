#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QtQmlIntegration>

class QQmlEngine;
class QJSEngine;
class VaultStore;
class UserDefaults;

// The application's life-cycle: the launch steps, locking when the screen locks or the machine is
// about to sleep, and quitting only after the vaults are locked. Preferences are read when the event
// happens, so changes apply without a restart.
class AppDelegate : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    // The session bus carries the screen savers' signals; the system bus logind's (tests pass a
    // private bus for both).
    AppDelegate(VaultStore &store, UserDefaults &defaults, const QDBusConnection &sessionBus,
                const QDBusConnection &systemBus, QObject *parent = nullptr);
    ~AppDelegate() override;
    static AppDelegate *create(QQmlEngine *, QJSEngine *);

    // The last launch steps: the screen-lock and sleep observers, then the termination signals.
    void applicationDidFinishLaunching();
    // Every way of quitting ends here: menu, shortcut, tray, SIGTERM, end of session.
    Q_INVOKABLE void quit();
    [[nodiscard]] bool isQuitting() const { return m_quitting; }
    // Whether a sleep inhibitor is held right now.
    [[nodiscard]] bool holdsSleepInhibitor() const { return m_sleepInhibitor.isValid(); }

Q_SIGNALS:
    // The vaults are locked (or nothing needed locking); the event loop may end.
    void readyToQuit();
    // A lock-all started by a system event has finished.
    void systemLockFinished(const QString &reason);
    void sleepInhibitorChanged();

private Q_SLOTS:
    void onScreenSaverActiveChanged(bool active);
    void onSessionLock();
    void onPrepareForSleep(bool starting);

private:
    void observeSystemEvents();
    QCoro::Task<void> takeSleepInhibitor();
    void watchTerminationSignals();
    QCoro::Task<void> lockAllFor(QString settingKey, QString reason);
    QCoro::Task<void> lockThenQuit();
    QCoro::Task<void> lockBeforeSleep();

    VaultStore &m_store;
    UserDefaults &m_defaults;
    QDBusConnection m_sessionBus;
    QDBusConnection m_systemBus;
    QDBusUnixFileDescriptor m_sleepInhibitor;
    bool m_quitting = false;
    int m_signalPipe[2] = {-1, -1};
};

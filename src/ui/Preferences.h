#pragma once

#include <QObject>
#include <QtQmlIntegration>

class QQmlEngine;
class QJSEngine;
class UserDefaults;

// The preferences as QML properties. Each reads the stored value at the moment it is asked for and
// notifies as soon as anyone (another window, the settings, another process) changes it.
class Preferences : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

#define HOLLOWKEEP_PREFERENCE(Type, name)                                                                    \
    Q_PROPERTY(Type name READ name WRITE set_##name NOTIFY name##Changed)                                    \
public:                                                                                                      \
    [[nodiscard]] Type name() const;                                                                         \
    void set_##name(const Type &value);                                                                      \
    Q_SIGNAL void name##Changed();                                                                           \
                                                                                                             \
private:

    HOLLOWKEEP_PREFERENCE(bool, autoLockEnabled)
    HOLLOWKEEP_PREFERENCE(int, autoLockMinutes)
    HOLLOWKEEP_PREFERENCE(bool, lockOnQuit)
    HOLLOWKEEP_PREFERENCE(bool, menuBarIcon)
    HOLLOWKEEP_PREFERENCE(bool, lockOnScreenLock)
    HOLLOWKEEP_PREFERENCE(bool, lockOnSleep)
    HOLLOWKEEP_PREFERENCE(bool, panicEnabled)
    HOLLOWKEEP_PREFERENCE(int, panicKeyCode)
    HOLLOWKEEP_PREFERENCE(int, panicModifiers)
    HOLLOWKEEP_PREFERENCE(QString, panicKeyLabel)
    HOLLOWKEEP_PREFERENCE(bool, hideDockIcon)
    HOLLOWKEEP_PREFERENCE(bool, menuBarPanel)
    HOLLOWKEEP_PREFERENCE(bool, updateCheckEnabled)
    // The stored design name as it is; views fall back to "classic" for unknown names.
    HOLLOWKEEP_PREFERENCE(QString, appTheme)
#undef HOLLOWKEEP_PREFERENCE

public:
    explicit Preferences(UserDefaults &defaults, QObject *parent = nullptr);
    static Preferences *create(QQmlEngine *, QJSEngine *);

private:
    UserDefaults &m_defaults;
};

#include "Preferences.h"

#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QJSEngine>

Preferences::Preferences(UserDefaults &defaults, QObject *parent) : QObject(parent), m_defaults(defaults)
{
    // One notification per key, whoever changed it.
    connect(&m_defaults, &UserDefaults::changed, this, [this](const QString &key) {
        const QByteArray signal = key.toLatin1() + "Changed()";
        const int index = metaObject()->indexOfSignal(signal.constData());
        if (index >= 0)
            metaObject()->method(index).invoke(this);
    });
}

Preferences *Preferences::create(QQmlEngine *, QJSEngine *)
{
    static Preferences *preferences = new Preferences(UserDefaults::standard());
    QJSEngine::setObjectOwnership(preferences, QJSEngine::CppOwnership);
    return preferences;
}

#define HOLLOWKEEP_BOOL(name)                                                                                \
    bool Preferences::name() const                                                                           \
    {                                                                                                        \
        return m_defaults.boolValue(SettingsKeys::name);                                                     \
    }                                                                                                        \
    void Preferences::set_##name(const bool &value)                                                          \
    {                                                                                                        \
        m_defaults.setValue(SettingsKeys::name, value);                                                      \
    }
#define HOLLOWKEEP_INT(name)                                                                                 \
    int Preferences::name() const                                                                            \
    {                                                                                                        \
        return int(m_defaults.integerValue(SettingsKeys::name));                                             \
    }                                                                                                        \
    void Preferences::set_##name(const int &value)                                                           \
    {                                                                                                        \
        m_defaults.setValue(SettingsKeys::name, qint64(value));                                              \
    }
#define HOLLOWKEEP_TEXT(name, fallback)                                                                      \
    QString Preferences::name() const                                                                        \
    {                                                                                                        \
        return m_defaults.stringValue(SettingsKeys::name).value_or(fallback);                                \
    }                                                                                                        \
    void Preferences::set_##name(const QString &value)                                                       \
    {                                                                                                        \
        m_defaults.setValue(SettingsKeys::name, value);                                                      \
    }

HOLLOWKEEP_BOOL(autoLockEnabled)
HOLLOWKEEP_INT(autoLockMinutes)
HOLLOWKEEP_BOOL(lockOnQuit)
HOLLOWKEEP_BOOL(menuBarIcon)
HOLLOWKEEP_BOOL(lockOnScreenLock)
HOLLOWKEEP_BOOL(lockOnSleep)
HOLLOWKEEP_BOOL(panicEnabled)
HOLLOWKEEP_INT(panicKeyCode)
HOLLOWKEEP_INT(panicModifiers)
HOLLOWKEEP_TEXT(panicKeyLabel, QString())
HOLLOWKEEP_BOOL(hideDockIcon)
HOLLOWKEEP_BOOL(menuBarPanel)
HOLLOWKEEP_BOOL(updateCheckEnabled)
HOLLOWKEEP_TEXT(appTheme, SettingsKeys::defaultTheme)

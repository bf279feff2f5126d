#include "SettingsActions.h"

#include "platform/SettingsKeys.h"
#include "platform/LoginItem.h"
#include "platform/PanicHotKey.h"
#include "platform/UpdateChecker.h"
#include "platform/UserDefaults.h"

#include <QCoro/QCoroTask>
#include <QJSEngine>

using namespace Qt::Literals::StringLiterals;

SettingsActions::SettingsActions(UserDefaults &defaults, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_launchAtLogin(LoginItem::isEnabled())
{
}

SettingsActions &SettingsActions::shared()
{
    static SettingsActions *instance = new SettingsActions(UserDefaults::standard());
    return *instance;
}

SettingsActions *SettingsActions::create(QQmlEngine *, QJSEngine *)
{
    QJSEngine::setObjectOwnership(&shared(), QJSEngine::CppOwnership);
    return &shared();
}

void SettingsActions::reload()
{
    setLoginItemError({});
    if (!m_checkingUpdate)
        setUpdateResult({});
    if (const bool enabled = LoginItem::isEnabled(); enabled != m_launchAtLogin) {
        m_launchAtLogin = enabled;
        Q_EMIT launchAtLoginChanged();
    }
}

void SettingsActions::setLaunchAtLogin(bool enabled)
{
    setLoginItemError({});
    const std::optional<QString> failure = LoginItem::setEnabled(enabled);
    if (failure)
        setLoginItemError(u"Could not update the login item: "_s + *failure);
    // Always what is on disk now: the wish on success, the unchanged entry on failure.
    m_launchAtLogin = LoginItem::isEnabled();
    Q_EMIT launchAtLoginChanged();
}

void SettingsActions::checkNow()
{
    if (m_checkingUpdate)
        return;
    m_checkingUpdate = true;
    Q_EMIT checkingUpdateChanged();
    [](SettingsActions *self) -> QCoro::Task<void> {
        const QString text = co_await UpdateChecker::manualCheck(self->m_defaults);
        self->setUpdateResult(text);
        self->m_checkingUpdate = false;
        Q_EMIT self->checkingUpdateChanged();
    }(this);
}

QString SettingsActions::record(int key, int modifiers)
{
    const PanicHotKey::RecordedShortcut recorded = PanicHotKey::record(key, Qt::KeyboardModifiers(modifiers));
    switch (recorded.step) {
    case PanicHotKey::Recording::Cancel:
        return u"cancel"_s;
    case PanicHotKey::Recording::KeepRecording:
        return u"keep"_s;
    case PanicHotKey::Recording::Store:
        break;
    }
    // Written in one go: the shortcut follows the three keys, and must never see half of a change.
    m_defaults.setValues({{SettingsKeys::panicKeyCode, recorded.keyCode},
                          {SettingsKeys::panicModifiers, recorded.mask},
                          {SettingsKeys::panicKeyLabel, recorded.label}});
    return u"store"_s;
}

QString SettingsActions::shortcutText(int modifiers, const QString &label) const
{
    return PanicHotKey::modifierSymbols(modifiers) + label;
}

void SettingsActions::setLoginItemError(const QString &message)
{
    if (message == m_loginItemError)
        return;
    m_loginItemError = message;
    Q_EMIT loginItemErrorChanged();
}

void SettingsActions::setUpdateResult(const QString &text)
{
    if (text == m_updateResult)
        return;
    m_updateResult = text;
    Q_EMIT updateResultChanged();
}

#pragma once

#include <QObject>
#include <QtQmlIntegration>

class QQmlEngine;
class QJSEngine;
class UserDefaults;

// What the settings window does beyond writing preferences: launch at login, the manual update
// check and recording the panic shortcut. The window's state that is not a preference lives here
// so that reopening the window reads it afresh.
class SettingsActions : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(QString loginItemError READ loginItemError NOTIFY loginItemErrorChanged)
    Q_PROPERTY(bool checkingUpdate READ checkingUpdate NOTIFY checkingUpdateChanged)
    Q_PROPERTY(QString updateResult READ updateResult NOTIFY updateResultChanged)

public:
    explicit SettingsActions(UserDefaults &defaults, QObject *parent = nullptr);
    [[nodiscard]] static SettingsActions &shared();
    static SettingsActions *create(QQmlEngine *, QJSEngine *);

    [[nodiscard]] bool launchAtLogin() const { return m_launchAtLogin; }
    [[nodiscard]] QString loginItemError() const { return m_loginItemError; }
    [[nodiscard]] bool checkingUpdate() const { return m_checkingUpdate; }
    [[nodiscard]] QString updateResult() const { return m_updateResult; }

    // The window opens: the autostart entry is read again, the last check's result forgotten.
    Q_INVOKABLE void reload();
    // Writes or removes the autostart entry; on failure the message, and the switch shows what is
    // really there (set once, so the switch cannot start toggling back and forth).
    Q_INVOKABLE void setLaunchAtLogin(bool enabled);
    Q_INVOKABLE void checkNow();
    // A key press while recording: "cancel", "keep" or "store". A stored combination is written
    // as its key code, modifier mask and label together.
    Q_INVOKABLE QString record(int key, int modifiers);
    // The combination as shown: "Ctrl+Alt+Super+L".
    [[nodiscard]] Q_INVOKABLE QString shortcutText(int modifiers, const QString &label) const;

Q_SIGNALS:
    void launchAtLoginChanged();
    void loginItemErrorChanged();
    void checkingUpdateChanged();
    void updateResultChanged();

private:
    void setLoginItemError(const QString &message);
    void setUpdateResult(const QString &text);

    UserDefaults &m_defaults;
    bool m_launchAtLogin = false;
    QString m_loginItemError;
    bool m_checkingUpdate = false;
    QString m_updateResult;
};

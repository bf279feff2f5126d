#pragma once

#include <QDBusMessage>
#include <QObject>

#include <optional>

// Whether the desktop prefers dark windows: the freedesktop "color-scheme" setting read through the
// settings portal (and followed while the program runs), or, without a portal answer, the
// darkness of the application palette the platform theme gave Qt.
class ColorScheme : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool prefersDark READ prefersDark NOTIFY prefersDarkChanged)

public:
    static ColorScheme &shared();

    [[nodiscard]] bool prefersDark() const;
    // Fixes the answer whatever the desktop says (screenshots, tests); nullopt follows it again.
    void setOverride(std::optional<bool> dark);

    // The portal's value: 0 no preference, 1 prefer dark, 2 prefer light.
    [[nodiscard]] static std::optional<bool> fromPortalValue(const QVariant &value);

Q_SIGNALS:
    void prefersDarkChanged();

private:
    ColorScheme();
    bool eventFilter(QObject *watched, QEvent *event) override;
    void readPortal();
    void setPortalAnswer(std::optional<bool> dark);
    // SettingChanged(namespace, key, value).
    Q_SLOT void onSettingChanged(const QDBusMessage &change);

    std::optional<bool> m_portal;
    std::optional<bool> m_override;
    bool m_last = false;
};

#include "ColorScheme.h"

#include "Portal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QPalette>

namespace {

const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

bool paletteIsDark()
{
    const QPalette palette = QGuiApplication::palette();
    return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

} // namespace

ColorScheme &ColorScheme::shared()
{
    static ColorScheme *instance = new ColorScheme;
    return *instance;
}

ColorScheme::ColorScheme()
{
    m_last = prefersDark();
    if (qApp)
        qApp->installEventFilter(this);
    QDBusConnection::sessionBus().connect(Portal::service, Portal::path, settingsInterface,
                                          QStringLiteral("SettingChanged"), this,
                                          SLOT(onSettingChanged(QDBusMessage)));
    readPortal();
}

bool ColorScheme::prefersDark() const
{
    if (m_override)
        return *m_override;
    if (m_portal)
        return *m_portal;
    return qApp && paletteIsDark();
}

void ColorScheme::setOverride(std::optional<bool> dark)
{
    m_override = dark;
    setPortalAnswer(m_portal);
}

std::optional<bool> ColorScheme::fromPortalValue(const QVariant &value)
{
    // Older portals wrap the value in one more variant.
    QVariant inner = value;
    while (inner.canConvert<QDBusVariant>() && inner.userType() == qMetaTypeId<QDBusVariant>())
        inner = inner.value<QDBusVariant>().variant();
    bool ok = false;
    const uint scheme = inner.toUInt(&ok);
    if (!ok || scheme == 0 || scheme > 2)
        return std::nullopt;
    return scheme == 1;
}

void ColorScheme::readPortal()
{
    // ReadOne is the current method; portals before 1.17 only know Read.
    for (const QString &method : {QStringLiteral("ReadOne"), QStringLiteral("Read")}) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(Portal::service, Portal::path, settingsInterface, method);
        call << appearance << colorSchemeKey;
        auto *watcher =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 3000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            const QDBusPendingReply<QDBusVariant> reply = *watcher;
            if (!reply.isError())
                setPortalAnswer(fromPortalValue(QVariant::fromValue(reply.value())));
        });
    }
}

void ColorScheme::setPortalAnswer(std::optional<bool> dark)
{
    m_portal = dark;
    if (prefersDark() != m_last) {
        m_last = prefersDark();
        Q_EMIT prefersDarkChanged();
    }
}

void ColorScheme::onSettingChanged(const QDBusMessage &change)
{
    const QVariantList arguments = change.arguments();
    if (arguments.size() == 3 && arguments[0].toString() == appearance &&
        arguments[1].toString() == colorSchemeKey)
        setPortalAnswer(fromPortalValue(arguments[2]));
}

bool ColorScheme::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        setPortalAnswer(m_portal);
    return QObject::eventFilter(watched, event);
}

#pragma once

#include <QCoro/QCoroTask>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// Requests to the XDG desktop portal (org.freedesktop.portal.Desktop): a method call whose answer
// comes later as the Response signal of a request object.
namespace Portal {

// Where the portal's interfaces live on the session bus.
inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");

struct Response
{
    uint code = 2; // 0 success, 1 cancelled by the user, 2 other
    QVariantMap results;
};

[[nodiscard]] bool isAvailable();
// Calls interface.method with the arguments, the last of which is the options map (a handle
// token is added to it), and awaits the response. nullopt when the call itself failed: no portal,
// or one without this interface.
QCoro::Task<std::optional<Response>> request(QString interface, QString method, QVariantList arguments);
// The version an interface of the portal reports; 0 when there is no portal or no such interface.
QCoro::Task<uint> interfaceVersion(QString interface);

} // namespace Portal

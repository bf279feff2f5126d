#include "Portal.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroSignal>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QRandomGenerator>

namespace Portal {

namespace {

const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

// Receives the Response signal of one request.
class Answer : public QObject
{
    Q_OBJECT
public:
    Response response;
    Q_SIGNAL void answered();
    Q_SLOT void onResponse(uint code, const QVariantMap &results)
    {
        response = {code, results};
        Q_EMIT answered();
    }
};

} // namespace

bool isAvailable()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(service);
    if (registered.isValid() && registered.value())
        return true;
    const QDBusReply<QStringList> activatable = bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(service);
}

QCoro::Task<std::optional<Response>> request(QString interface, QString method, QVariantList arguments)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!isAvailable() || arguments.isEmpty())
        co_return std::nullopt;
    // The request's object path is known in advance, so the answer cannot arrive unheard.
    const QString token = QStringLiteral("hollowkeep%1").arg(QRandomGenerator::global()->generate());
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString requestPath =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    Answer answer;
    bus.connect(service, requestPath, requestInterface, QStringLiteral("Response"), &answer,
                SLOT(onResponse(uint, QVariantMap)));
    QVariantMap options = arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    const QDBusMessage reply = co_await bus.asyncCall(call, 10000);
    std::optional<Response> response;
    if (reply.type() == QDBusMessage::ReplyMessage) {
        co_await qCoro(&answer, &Answer::answered);
        response = answer.response;
    }
    bus.disconnect(service, requestPath, requestInterface, QStringLiteral("Response"), &answer,
                   SLOT(onResponse(uint, QVariantMap)));
    co_return response;
}

QCoro::Task<uint> interfaceVersion(QString interface)
{
    if (!isAvailable())
        co_return 0u;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call.setArguments({interface, QStringLiteral("version")});
    const QDBusMessage reply = co_await QDBusConnection::sessionBus().asyncCall(call, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return 0u;
    co_return reply.arguments().first().value<QDBusVariant>().variant().toUInt();
}

} // namespace Portal

#include "Portal.moc"

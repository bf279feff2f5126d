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

} // namespace Portal

#include "Portal.moc"

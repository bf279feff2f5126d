#include "TouchID.h"

#include <QCoreApplication>
#include <QCoro/QCoroDBusPendingCall>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QFile>

#include <unistd.h>

namespace TouchID {

namespace {

using namespace Qt::Literals::StringLiterals;

TouchID::Authenticator &customAuthenticator()
{
    static TouchID::Authenticator authenticator;
    return authenticator;
}

// polkit identifies this process by pid and start time (field 22 of /proc/self/stat).
quint64 processStartTime()
{
    QFile stat(u"/proc/self/stat"_qs);
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray content = stat.readAll();
    const QList<QByteArray> fields = content.mid(content.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? fields[19].toULongLong() : 0;
}

QCoro::Task<bool> askPolkit(QString reason)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    const QString service = u"org.freedesktop.PolicyKit1"_qs;
    if (!bus.isConnected())
        co_return false;

    using Details = QMap<QString, QString>;
    QVariantMap subjectDetails{{u"pid"_qs, QVariant::fromValue(quint32(getpid()))},
                               {u"start-time"_qs, QVariant::fromValue(processStartTime())}};
    QDBusArgument subject;
    subject.beginStructure();
    subject << u"unix-process"_qs << subjectDetails;
    subject.endStructure();

    QDBusMessage call =
        QDBusMessage::createMethodCall(service, u"/org/freedesktop/PolicyKit1/Authority"_qs,
                                       u"org.freedesktop.PolicyKit1.Authority"_qs, u"CheckAuthorization"_qs);
    qDBusRegisterMetaType<Details>();
    const Details details{{u"polkit.message"_qs, reason}};
    const quint32 allowUserInteraction = 1;
    call << QVariant::fromValue(subject) << QString::fromLatin1(actionId) << QVariant::fromValue(details)
         << allowUserInteraction << QString();
    // The user may take their time in the prompt.
    const QDBusMessage reply = co_await bus.asyncCall(call, 10 * 60 * 1000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return false;
    const QDBusArgument result = reply.arguments().first().value<QDBusArgument>();
    bool authorized = false;
    bool challenge = false;
    Details resultDetails;
    result.beginStructure();
    result >> authorized >> challenge >> resultDetails;
    result.endStructure();
    co_return authorized;
}

} // namespace

QCoro::Task<bool> authenticate(QString reason)
{
    if (customAuthenticator())
        co_return co_await customAuthenticator()(reason);
    co_return co_await askPolkit(reason);
}

void setAuthenticator(Authenticator authenticator)
{
    customAuthenticator() = std::move(authenticator);
}

} // namespace TouchID

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

QCoro::Task<Answer> askPolkit()
{
    const QString noPolkit = u"Authentication is not available: the polkit service is not running."_qs;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        co_return Answer{false, noPolkit};

    using Details = QMap<QString, QString>;
    QVariantMap subjectDetails{{u"pid"_qs, QVariant::fromValue(quint32(getpid()))},
                               {u"start-time"_qs, QVariant::fromValue(processStartTime())}};
    QDBusArgument subject;
    subject.beginStructure();
    subject << u"unix-process"_qs << subjectDetails;
    subject.endStructure();

    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.freedesktop.PolicyKit1"_qs, u"/org/freedesktop/PolicyKit1/Authority"_qs,
        u"org.freedesktop.PolicyKit1.Authority"_qs, u"CheckAuthorization"_qs);
    qDBusRegisterMetaType<Details>();
    const quint32 allowUserInteraction = 1;
    call << QVariant::fromValue(subject) << QString::fromLatin1(actionId) << QVariant::fromValue(Details())
         << allowUserInteraction << QString();
    // The user may take their time in the prompt.
    const QDBusMessage reply = co_await bus.asyncCall(call, 10 * 60 * 1000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return Answer{false, reply.errorName() == u"org.freedesktop.DBus.Error.ServiceUnknown"_qs
                                    ? noPolkit
                                    : QString()};
    const QDBusArgument result = reply.arguments().first().value<QDBusArgument>();
    bool authorized = false;
    bool challenge = false;
    Details resultDetails;
    result.beginStructure();
    result >> authorized >> challenge >> resultDetails;
    result.endStructure();
    // Not authorized but could be with a password: nobody was there to ask for it.
    if (!authorized && challenge)
        co_return Answer{false, u"No authentication agent is running, so your password cannot be asked "
                                u"for. Start your desktop’s authentication agent, or turn off “Require "
                                u"authentication to unlock” for this vault."_qs};
    co_return Answer{authorized, QString()};
}

} // namespace

QCoro::Task<Answer> ask(QString reason)
{
    if (!customAuthenticator())
        co_return co_await askPolkit();
    const bool authorized = co_await customAuthenticator()(reason);
    co_return Answer{authorized, QString()};
}

QCoro::Task<bool> authenticate(QString reason)
{
    const Answer answer = co_await ask(reason);
    co_return answer.authorized;
}

void setAuthenticator(Authenticator authenticator)
{
    customAuthenticator() = std::move(authenticator);
}

} // namespace TouchID

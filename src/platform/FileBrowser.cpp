#include "FileBrowser.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroProcess>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace FileBrowser {

namespace {

using namespace Qt::Literals::StringLiterals;

// A handler that is still running after this long has opened something.
constexpr std::chrono::seconds openerPatience{10};

QCoro::Task<bool> callFileManager(QString method, QString path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.FileManager1"_qs,
                                                       u"/org/freedesktop/FileManager1"_qs,
                                                       u"org.freedesktop.FileManager1"_qs, method);
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage reply = co_await QDBusConnection::sessionBus().asyncCall(call, 5000);
    co_return reply.type() == QDBusMessage::ReplyMessage;
}

// xdg-open ends with a failure status when no application takes the folder; the result of merely
// starting it would say nothing about that.
QCoro::Task<bool> openWithDesktop(QString folder)
{
    auto *opener = new QProcess;
    opener->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    opener->setStandardOutputFile(QProcess::nullDevice());
    opener->start(u"xdg-open"_s, {folder});
    const bool started = co_await qCoro(opener).waitForStarted();
    if (!started) {
        opener->deleteLater();
        co_return false;
    }
    const bool finished = co_await qCoro(opener).waitForFinished(openerPatience);
    if (!finished) {
        // Left to run: it is the application showing the folder.
        QObject::connect(opener, &QProcess::finished, opener, &QObject::deleteLater);
        co_return true;
    }
    opener->deleteLater();
    co_return opener->exitStatus() == QProcess::NormalExit && opener->exitCode() == 0;
}

} // namespace

QCoro::Task<bool> showFolder(QString path)
{
    const bool shown = co_await callFileManager(u"ShowFolders"_qs, path);
    if (shown)
        co_return true;
    co_return co_await openWithDesktop(path);
}

QCoro::Task<bool> showItem(QString path)
{
    const bool shown = co_await callFileManager(u"ShowItems"_qs, path);
    if (shown)
        co_return true;
    co_return co_await openWithDesktop(QFileInfo(path).path());
}

} // namespace FileBrowser

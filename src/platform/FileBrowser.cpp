#include "FileBrowser.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace FileBrowser {

namespace {

using namespace Qt::Literals::StringLiterals;

QCoro::Task<bool> callFileManager(QString method, QString path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.FileManager1"_qs,
                                                       u"/org/freedesktop/FileManager1"_qs,
                                                       u"org.freedesktop.FileManager1"_qs, method);
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage reply = co_await QDBusConnection::sessionBus().asyncCall(call, 5000);
    co_return reply.type() == QDBusMessage::ReplyMessage;
}

} // namespace

QCoro::Task<void> showFolder(QString path)
{
    const bool shown = co_await callFileManager(u"ShowFolders"_qs, path);
    if (!shown)
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QCoro::Task<void> showItem(QString path)
{
    const bool shown = co_await callFileManager(u"ShowItems"_qs, path);
    if (!shown)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).path()));
}

} // namespace FileBrowser

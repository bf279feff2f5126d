#include "FileDialogs.h"

#include <QCoro/QCoroSignal>
#include <QJSEngine>

FileDialogs &FileDialogs::shared()
{
    static FileDialogs *dialogs = new FileDialogs();
    return *dialogs;
}

FileDialogs *FileDialogs::create(QQmlEngine *, QJSEngine *)
{
    QJSEngine::setObjectOwnership(&shared(), QJSEngine::CppOwnership);
    return &shared();
}

QCoro::Task<void> FileDialogs::presentWaiting(Vault vault)
{
    Q_EMIT waitingRequested(QVariant::fromValue(vault));
    co_await qCoro(this, &FileDialogs::closed);
}

QCoro::Task<void> FileDialogs::presentRelocated(Vault vault)
{
    Q_EMIT relocatedRequested(QVariant::fromValue(vault));
    co_await qCoro(this, &FileDialogs::closed);
}

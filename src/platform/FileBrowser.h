#pragma once

#include <QCoro/QCoroTask>
#include <QString>

// The user's file manager: through org.freedesktop.FileManager1 first, the desktop's default
// opening of the folder when that is not available.
namespace FileBrowser {

QCoro::Task<void> showFolder(QString path);
// Shows a file or folder selected in its parent folder.
QCoro::Task<void> showItem(QString path);

} // namespace FileBrowser

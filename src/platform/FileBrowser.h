#pragma once

#include <QCoro/QCoroTask>
#include <QString>

// The user's file manager: through org.freedesktop.FileManager1 first, the desktop's opener
// (xdg-open) when that is not available. Each answers whether anything showed the path.
namespace FileBrowser {

QCoro::Task<bool> showFolder(QString path);
// Shows a file or folder selected in its parent folder.
QCoro::Task<bool> showItem(QString path);

} // namespace FileBrowser

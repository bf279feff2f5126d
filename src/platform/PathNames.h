#pragma once

#include <QFileInfo>
#include <QString>

// Whether a name in a folder is taken: by anything that exists, or by a dangling symbolic link,
// which a rename would replace or follow.
[[nodiscard]] inline bool pathIsTaken(const QString &path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

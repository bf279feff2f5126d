#include "ToolPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace ToolPaths {

namespace {

QString overrideFolder()
{
    return qEnvironmentVariable("HOLLOWKEEP_TOOLS_DIR");
}

QString ownTool(const QString &name)
{
    if (const QString folder = overrideFolder(); !folder.isEmpty())
        return folder + QLatin1Char('/') + name;
#ifdef Q_OS_MACOS
    return name == QLatin1String("diskutil") ? QStringLiteral("/usr/sbin/diskutil")
                                             : QStringLiteral("/usr/bin/") + name;
#else
    const QStringList candidates{
        QCoreApplication::applicationDirPath() + QStringLiteral("/../libexec/hollowkeep"),
        QStringLiteral(HOLLOWKEEP_LIBEXECDIR),
        QStringLiteral(HOLLOWKEEP_BUILD_LIBEXECDIR),
    };
    for (const QString &folder : candidates) {
        const QString path = QDir::cleanPath(folder + QLatin1Char('/') + name);
        if (QFileInfo(path).isExecutable())
            return path;
    }
    // Not found: the launch fails with a message naming where it was expected.
    return QDir::cleanPath(QStringLiteral(HOLLOWKEEP_LIBEXECDIR "/") + name);
#endif
}

} // namespace

QString hdiutil()
{
    return ownTool(QStringLiteral("hdiutil"));
}

QString diskutil()
{
    return ownTool(QStringLiteral("diskutil"));
}

QString mdutil()
{
    return ownTool(QStringLiteral("mdutil"));
}

QString du()
{
    if (const QString folder = overrideFolder(); !folder.isEmpty())
        return folder + QStringLiteral("/du");
    return QStringLiteral("/usr/bin/du");
}

} // namespace ToolPaths

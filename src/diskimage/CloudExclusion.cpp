#include "CloudExclusion.h"

#include "DiskImage.h"
#include "ToolPaths.h"
#include "platform/PathNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/xattr.h>

using namespace Qt::Literals::StringLiterals;
namespace CloudExclusion {

namespace {

// The path with its last extension replaced.
QString withExtension(const QString &location, const QString &extension)
{
    const QFileInfo info(location);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    return info.path() + QLatin1Char('/') + stem + QLatin1Char('.') + extension;
}

QString extensionOf(const QString &location)
{
    const QString name = QFileInfo(location).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.mid(dot + 1) : QString();
}

void moveOrThrow(const QString &from, const QString &to)
{
    // rename(2) would replace an empty folder silently; an existing target is an error here.
    if (pathIsTaken(to))
        throw RenameError(u"“%1” couldn’t be moved because an item with the same name already exists."_qs.arg(
            QFileInfo(from).fileName()));
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw RenameError(u"“%1” couldn’t be moved: %2."_qs.arg(
            QFileInfo(from).fileName(), QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace

QByteArray attributeName()
{
    return QByteArray("user.") + ignoreAttribute;
}

QString exclude(const QString &location)
{
    QString result = location;
    if (extensionOf(location) != QLatin1String("nosync")) {
        result = withExtension(location, u"nosync"_qs);
        moveOrThrow(location, result);
    }
    setxattr(QFile::encodeName(result).constData(), attributeName().constData(), "1", 1, 0);
    return result;
}

QString include(const QString &location)
{
    QString result = location;
    if (extensionOf(location) == QLatin1String("nosync")) {
        result = withExtension(location, u"sparsebundle"_qs);
        moveOrThrow(location, result);
    }
    removexattr(QFile::encodeName(result).constData(), attributeName().constData());
    return result;
}

bool isInsideICloudDrive(const QString &location)
{
    // Linux has no ubiquitous items; only the path tells.
    return location.contains(QLatin1String("/Library/Mobile Documents/"));
}

QCoro::Task<void> excludeFromSpotlight(QString mountPoint)
{
    try {
        const QStringList arguments{u"-i"_qs, u"off"_qs, mountPoint};
        co_await DiskImage::run(ToolPaths::mdutil(), arguments);
    } catch (const std::exception &) {
        // Indexing is a courtesy: no failure of it, a time-out included, may stop an unlock.
    }
}

} // namespace CloudExclusion

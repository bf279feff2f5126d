#include "Bundle.h"

#include "MountTable.h"
#include "diskimage/Plist.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VaultImage {

using Tool::Error;

namespace {

const QString cipherName = QStringLiteral("cipher");
const QString infoName = QStringLiteral("Info.plist");
// The longest file name the host file systems take.
constexpr int nameMax = 255;

QString vaultsRoot()
{
    return QDir::homePath() + QStringLiteral("/Vaults");
}

// The text cut to at most that many UTF-8 bytes, at a character boundary.
QString cutToBytes(QString text, qsizetype bytes)
{
    while (text.toUtf8().size() > bytes)
        text.chop(1);
    if (!text.isEmpty() && text.back().isHighSurrogate())
        text.chop(1);
    return text;
}

bool isControl(QChar c)
{
    return c.category() == QChar::Other_Control;
}

// Volume names become folder names and labels. A name stored by someone else may hold anything:
// a control character (a NUL above all) never reaches a path.
QString folderName(const QString &volumeName)
{
    QString name = volumeName;
    name.replace(QLatin1Char('/'), QLatin1Char(':'));
    for (QChar &c : name) {
        if (isControl(c))
            c = QChar(0xfffd);
    }
    if (name.trimmed().isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("Untitled");
    return name;
}

bool isEmptyFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() &&
           QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

QString runtimeRoot()
{
    return MountTable::privateTemporaryFolder();
}

QString layersRoot()
{
    return runtimeRoot() + QStringLiteral("/layers");
}

QString hiddenRoot()
{
    return runtimeRoot() + QStringLiteral("/volumes");
}

void makePrivateFolder(const QString &path)
{
    QDir().mkpath(path);
    chmod(QFile::encodeName(path).constData(), 0700);
}

QString layerPointFor(const QString &canonicalBundle)
{
    const QByteArray key =
        QCryptographicHash::hash(canonicalBundle.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return layersRoot() + QLatin1Char('/') + QString::fromLatin1(key);
}

QString cipherDirectory(const QString &bundle)
{
    return bundle + QLatin1Char('/') + cipherName;
}

QVariantMap readInfo(const QString &bundle)
{
    QFile file(bundle + QLatin1Char('/') + infoName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return Plist::parse(file.readAll()).value_or(QVariant()).toMap();
}

void writeInfo(const QString &bundle, const QVariantMap &changes)
{
    QVariantMap info = readInfo(bundle);
    info.insert(QStringLiteral("diskimage-bundle-type"), QStringLiteral("org.hollowkeep.vault"));
    info.insert(QStringLiteral("bundle-backingstore-version"), qint64(1));
    info.insert(QStringLiteral("encryption"), QStringLiteral("gocryptfs AES-256-GCM"));
    info.insert(QStringLiteral("file-system"), QStringLiteral("ext4"));
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        info.insert(it.key(), it.value());
    QFile file(bundle + QLatin1Char('/') + infoName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(Plist::serialize(info)) < 0)
        throw Error{QStringLiteral("cannot write %1").arg(file.fileName())};
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

BundleLock::BundleLock(const QString &bundle)
{
    m_fd = ::open(QFile::encodeName(bundle + QStringLiteral("/.lock")).constData(),
                  O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // A bundle on a read-only disk: the folder itself carries the lock.
    if (m_fd < 0)
        m_fd = ::open(QFile::encodeName(bundle).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0)
        throw Error{QStringLiteral("cannot open the vault: ") + systemError(errno)};
    if (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(m_fd);
        throw Error{QStringLiteral("The vault is in use by another operation."), Tool::statusBusy, true};
    }
}

BundleLock::~BundleLock()
{
    ::close(m_fd);
}

QString labelFor(const QString &volumeName)
{
    return cutToBytes(volumeName, 16);
}

void requireUsableVolumeName(const QString &name)
{
    if (name.isEmpty())
        throw Error{QStringLiteral("Invalid argument: the name is empty"), Tool::statusInvalidArgument};
    if (std::any_of(name.cbegin(), name.cend(), isControl))
        throw Error{QStringLiteral("Invalid argument: a name cannot hold control characters such as line breaks"),
                    Tool::statusInvalidArgument};
    if (folderName(name).toUtf8().size() > nameMax)
        throw Error{QStringLiteral("File name too long: a volume name holds at most %1 bytes").arg(nameMax),
                    Tool::statusInvalidArgument};
}

QString freeMountPoint(const QString &volumeName, bool hidden)
{
    const QString root = hidden ? hiddenRoot() : vaultsRoot();
    if (hidden)
        makePrivateFolder(root);
    else
        QDir().mkpath(root);
    // Room for a " 99" after the name; names stored before they were checked still mount.
    const QString base = root + QLatin1Char('/') + cutToBytes(folderName(volumeName), nameMax - 4);
    QString candidate = base;
    for (int n = 1;; ++n) {
        const bool usable = !QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink();
        if (usable || (isEmptyFolder(candidate) && !MountTable::isMountPoint(candidate)))
            return candidate;
        candidate = base + QStringLiteral(" %1").arg(n);
    }
}

void removeMountPoint(const QString &path)
{
    if ((path.startsWith(vaultsRoot() + QLatin1Char('/')) ||
         path.startsWith(runtimeRoot() + QLatin1Char('/'))) &&
        !MountTable::isMountPoint(path))
        QDir().rmdir(path);
}

void unmount(const QString &mountPoint, bool lazy)
{
    QStringList arguments{QStringLiteral("-u")};
    if (lazy)
        arguments << QStringLiteral("-z");
    arguments << mountPoint;
    Tool::runHelper(Tool::helper(QStringLiteral("fusermount3")), arguments);
}

QString busyMessage(const QString &mountPoint, const QString &name)
{
    QStringList programs = MountTable::programsUsing(mountPoint);
    QString who;
    if (programs.isEmpty()) {
        who = QStringLiteral("a program still has files open on it");
    } else {
        const qsizetype more = programs.size() > 3 ? programs.size() - 3 : 0;
        programs = programs.mid(0, 3);
        if (more > 0)
            programs.append(more == 1 ? QStringLiteral("1 other program")
                                      : QStringLiteral("%1 other programs").arg(more));
        const QString last = programs.takeLast();
        who = (programs.isEmpty() ? last
                                  : programs.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last) +
              (programs.isEmpty() && more == 0 ? QStringLiteral(" still has files open on it")
                                               : QStringLiteral(" still have files open on it"));
    }
    return QStringLiteral("The volume “%1” is busy: %2.").arg(name, who);
}

} // namespace VaultImage

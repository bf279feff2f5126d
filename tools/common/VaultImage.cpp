#include "VaultImage.h"

#include "MountTable.h"
#include "diskimage/Plist.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VaultImage {

namespace {

using Tool::Error;

const QString imageName = QStringLiteral("disk.img");
const QString nameFileName = QStringLiteral("volume-name");
const QString cipherName = QStringLiteral("cipher");
const QString infoName = QStringLiteral("Info.plist");

// ext4 block size. Every block is one request to the encryption layer, so larger blocks write
// much faster through it; 32 KiB balances that against the space small files take (bench/).
constexpr int blockSize = 32768;
// gocryptfs file layout: a header, then 4096-byte blocks stored as 4128 bytes (nonce and tag).
constexpr qint64 cipherHeader = 18;
constexpr qint64 plainBlock = 4096;
constexpr qint64 cipherBlock = 4128;
// How long a daemon may take to write everything and exit after its unmount.
constexpr int daemonExitTimeoutMs = 120000;

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

QString vaultsRoot()
{
    return QDir::homePath() + QStringLiteral("/Vaults");
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

void writeInfo(const QString &bundle, qint64 limitBytes)
{
    const QVariantMap info{
        {QStringLiteral("diskimage-bundle-type"), QStringLiteral("org.hollowkeep.vault")},
        {QStringLiteral("bundle-backingstore-version"), qint64(1)},
        {QStringLiteral("encryption"), QStringLiteral("gocryptfs AES-256-GCM")},
        {QStringLiteral("file-system"), QStringLiteral("ext4")},
        {QStringLiteral("size"), limitBytes},
    };
    QFile file(bundle + QLatin1Char('/') + infoName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(Plist::serialize(info)) < 0)
        throw Error{QStringLiteral("cannot write %1").arg(file.fileName())};
}

// Volume names become folder names and labels.
QString folderName(const QString &volumeName)
{
    QString name = volumeName;
    name.replace(QLatin1Char('/'), QLatin1Char(':'));
    if (name.trimmed().isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("Untitled");
    return name;
}

// ext4 labels hold 16 bytes; cut at a character boundary.
QString labelFor(const QString &volumeName)
{
    QString label = volumeName;
    while (label.toUtf8().size() > 16)
        label.chop(1);
    if (!label.isEmpty() && label.back().isHighSurrogate())
        label.chop(1);
    return label;
}

bool isEmptyFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() &&
           QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

QString freeMountPoint(const QString &volumeName, bool hidden)
{
    const QString root = hidden ? hiddenRoot() : vaultsRoot();
    if (hidden)
        makePrivateFolder(root);
    else
        QDir().mkpath(root);
    const QString base = root + QLatin1Char('/') + folderName(volumeName);
    QString candidate = base;
    for (int n = 1;; ++n) {
        const bool usable = !QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink();
        if (usable || (isEmptyFolder(candidate) && !MountTable::isMountPoint(candidate)))
            return candidate;
        candidate = base + QStringLiteral(" %1").arg(n);
    }
}

// Removes a mount point folder the tools made, once nothing is mounted there.
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

// ---- the encryption layer ----

void openLayer(const QString &bundle, const QByteArray &password, const QString &at, bool readOnly = false)
{
    if (password.isEmpty() || password.contains('\n') || password.contains('\r'))
        throw Error{QStringLiteral("Authentication error"), Tool::statusAuthentication};
    makePrivateFolder(at);
    QStringList arguments{QStringLiteral("-q"), QStringLiteral("-noprealloc")};
    if (readOnly)
        arguments << QStringLiteral("-ro");
    arguments << cipherDirectory(bundle) << at;
    const Tool::HelperResult result =
        Tool::runHelper(Tool::helper(QStringLiteral("gocryptfs")), arguments, password + '\n', true);
    if (result.status == 12)
        throw Error{QStringLiteral("Authentication error"), Tool::statusAuthentication};
    if (result.status != 0) {
        QDir().rmdir(at);
        throw Error{QStringLiteral("cannot open the encrypted layer: ") + Tool::lastLines(result.output)};
    }
}

void closeLayer(const QString &at)
{
    const MountTable::Process daemon = MountTable::findDaemon(QStringLiteral("gocryptfs"), at);
    if (MountTable::isMountPoint(at)) {
        unmount(at, false);
        if (MountTable::isMountPoint(at))
            unmount(at, true);
    }
    MountTable::waitForExit(daemon.pid, daemonExitTimeoutMs);
    QDir().rmdir(at);
}

// The encryption layer of a locked vault, open while a maintenance step runs.
class OpenLayer
{
public:
    OpenLayer(const QString &bundle, const QByteArray &password, bool readOnly = false)
        : m_at(readOnly
                   ? runtimeRoot() + QStringLiteral("/check-") + QUuid::createUuid().toString(QUuid::Id128)
                   : layerPointFor(bundle))
    {
        openLayer(bundle, password, m_at, readOnly);
    }
    ~OpenLayer()
    {
        try {
            closeLayer(m_at);
        } catch (const Error &) {
            // The mount stays visible in the mount table; the next attach clears it.
        }
    }
    OpenLayer(const OpenLayer &) = delete;
    OpenLayer &operator=(const OpenLayer &) = delete;

    [[nodiscard]] QString image() const { return m_at + QLatin1Char('/') + imageName; }
    [[nodiscard]] QString folder() const { return m_at; }

private:
    QString m_at;
};

void requireLocked(const QString &bundle)
{
    if (attachmentOfBundle(bundle))
        throw Error{QStringLiteral("Resource busy: the vault is attached; detach it first"),
                    Tool::statusBusy};
}

// ---- the file system inside ----

// e2fsck exit statuses: 0 clean, 1 errors corrected, 2 corrected and a reboot advised, 4 and up
// errors left or a failure.
void checkAndRepair(const QString &image, bool force)
{
    QStringList arguments{QStringLiteral("-p")};
    if (force)
        arguments << QStringLiteral("-f");
    arguments << image;
    const Tool::HelperResult result = Tool::runHelper(Tool::helper(QStringLiteral("e2fsck")), arguments);
    if (result.status >= 4)
        throw Error{QStringLiteral("the file system inside the vault is damaged and could not be repaired "
                                   "automatically: ") +
                    Tool::lastLines(result.output)};
}

Tool::HelperResult startFileSystem(const QString &image, const QString &mountPoint)
{
    makePrivateFolder(mountPoint);
    // hard_remove: a file deleted just after it was closed must free its blocks at once; without
    // it the FUSE library may keep it as a hidden ".fuse_hidden…" file until the volume unmounts,
    // or for good when the close arrives after the unmount.
    return Tool::runHelper(Tool::helper(QStringLiteral("fuse2fs")),
                           {image, mountPoint, QStringLiteral("-o"), QStringLiteral("hard_remove")}, {}, true);
}

void mountVolume(const QString &image, const QString &mountPoint)
{
    checkAndRepair(image, false);
    Tool::HelperResult result = startFileSystem(image, mountPoint);
    if (result.status != 0 || !MountTable::isMountPoint(mountPoint)) {
        // A file system marked clean can still be damaged (a write lost when the host disk filled
        // up): a full check repairs it, then the mount is tried once more.
        checkAndRepair(image, true);
        result = startFileSystem(image, mountPoint);
    }
    if (result.status != 0 || !MountTable::isMountPoint(mountPoint)) {
        removeMountPoint(mountPoint);
        throw Error{QStringLiteral("cannot mount the volume: ") + Tool::lastLines(result.output)};
    }
}

void unmountVolume(const Attachment &attachment, bool force, const QString &name)
{
    const QString mountPoint = attachment.volumeMount;
    const MountTable::Process daemon = MountTable::findDaemon(QStringLiteral("fuse2fs"), attachment.image());
    if (attachment.volumeResponds && !force && !MountTable::programsUsing(mountPoint).isEmpty())
        throw Error{busyMessage(mountPoint, name), Tool::statusBusy, true};
    unmount(mountPoint, force);
    if (MountTable::isMountPoint(mountPoint)) {
        if (!force)
            throw Error{busyMessage(mountPoint, name), Tool::statusBusy, true};
        unmount(mountPoint, true);
    }
    // After a lazy unmount open files keep the daemon serving them; asked to stop, it writes
    // everything it holds and closes the file system cleanly.
    if (force && daemon.pid > 0)
        kill(daemon.pid, SIGTERM);
    if (!MountTable::waitForExit(daemon.pid, daemonExitTimeoutMs))
        throw Error{QStringLiteral("the volume did not finish writing in time")};
    removeMountPoint(mountPoint);
}

QString nameInLayer(const QString &layer)
{
    QFile file(layer + QLatin1Char('/') + nameFileName);
    if (file.open(QIODevice::ReadOnly)) {
        const QString name = QString::fromUtf8(file.readAll()).trimmed();
        if (!name.isEmpty())
            return name;
    }
    const Tool::HelperResult label =
        Tool::runHelper(Tool::helper(QStringLiteral("e2label")), {layer + QLatin1Char('/') + imageName});
    const QString text = QString::fromUtf8(label.output).trimmed();
    return label.status == 0 && !text.isEmpty() ? text : QStringLiteral("Untitled");
}

void writeName(const QString &layer, const QString &name)
{
    Tool::runHelperOrFail(QStringLiteral("cannot label the volume"), Tool::helper(QStringLiteral("e2label")),
                          {layer + QLatin1Char('/') + imageName, labelFor(name)});
    QFile file(layer + QLatin1Char('/') + nameFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(name.toUtf8()) < 0)
        throw Error{QStringLiteral("cannot store the volume name")};
}

// ---- block maps ----

struct BlockRange
{
    qint64 first = 0;
    qint64 last = 0; // inclusive
};

struct BlockMap
{
    qint64 blockSize = 0;
    qint64 blockCount = 0;
    QList<BlockRange> free;
};

BlockMap readBlockMap(const QString &image)
{
    const QByteArray output = Tool::runHelperOrFail(QStringLiteral("cannot read the block map"),
                                                    Tool::helper(QStringLiteral("dumpe2fs")), {image});
    BlockMap map;
    static const QRegularExpression range(QStringLiteral("(\\d+)(?:-(\\d+))?"));
    for (const QByteArray &rawLine : output.split('\n')) {
        const QString line = QString::fromUtf8(rawLine);
        if (line.startsWith(QLatin1String("Block size:")))
            map.blockSize = line.section(QLatin1Char(':'), 1).trimmed().toLongLong();
        else if (line.startsWith(QLatin1String("Block count:")))
            map.blockCount = line.section(QLatin1Char(':'), 1).trimmed().toLongLong();
        else if (line.startsWith(QLatin1Char(' ')) &&
                 line.trimmed().startsWith(QLatin1String("Free blocks: "))) {
            const QString list = line.trimmed().mid(13);
            for (const QString &item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                const QRegularExpressionMatch match = range.match(item.trimmed());
                if (!match.hasMatch())
                    continue;
                const qint64 first = match.captured(1).toLongLong();
                const qint64 last = match.captured(2).isEmpty() ? first : match.captured(2).toLongLong();
                if (!map.free.isEmpty() && map.free.last().last + 1 == first)
                    map.free.last().last = last;
                else
                    map.free.append({first, last});
            }
        }
    }
    if (map.blockSize <= 0 || map.blockCount <= 0)
        throw Error{QStringLiteral("cannot read the block map")};
    return map;
}

QList<BlockRange> usedRanges(const BlockMap &map)
{
    QList<BlockRange> used;
    qint64 next = 0;
    for (const BlockRange &free : map.free) {
        if (free.first > next)
            used.append({next, free.first - 1});
        next = free.last + 1;
    }
    if (next < map.blockCount)
        used.append({next, map.blockCount - 1});
    return used;
}

} // namespace

QString Attachment::image() const
{
    return layerMount + QLatin1Char('/') + imageName;
}

QList<Attachment> attachments()
{
    const QList<MountTable::Mount> mounts = MountTable::mounts();
    const QString root = layersRoot() + QLatin1Char('/');
    QList<Attachment> result;
    for (const MountTable::Mount &layer : mounts) {
        if (layer.fsType != QLatin1String("fuse.gocryptfs") || !layer.mountPoint.startsWith(root))
            continue;
        Attachment attachment;
        attachment.layerMount = layer.mountPoint;
        // The daemon's arguments hold the exact path; the mount table may have altered it.
        const MountTable::Process daemon =
            MountTable::findDaemon(QStringLiteral("gocryptfs"), layer.mountPoint);
        const qsizetype at = daemon.arguments.lastIndexOf(layer.mountPoint);
        const QString cipher = at > 0 ? daemon.arguments[at - 1] : layer.source;
        attachment.bundlePath = QFileInfo(cipher).path();
        for (const MountTable::Mount &volume : mounts) {
            if (volume.source == attachment.image() && volume.fsType.startsWith(QLatin1String("fuse"))) {
                attachment.volumeMount = volume.mountPoint;
                struct stat info;
                attachment.volumeResponds =
                    stat(QFile::encodeName(volume.mountPoint).constData(), &info) == 0;
            }
        }
        result.append(attachment);
    }
    return result;
}

std::optional<Attachment> attachmentOfBundle(const QString &bundlePath)
{
    const QString wanted = QFileInfo(bundlePath).canonicalFilePath();
    for (const Attachment &attachment : attachments()) {
        if (attachment.bundlePath == bundlePath ||
            QFileInfo(attachment.bundlePath).canonicalFilePath() == wanted)
            return attachment;
    }
    return std::nullopt;
}

std::optional<Attachment> attachmentAtMountPoint(const QString &mountPoint)
{
    const QString clean = QDir::cleanPath(mountPoint);
    const QString canonical = QFileInfo(mountPoint).canonicalFilePath();
    for (const Attachment &attachment : attachments()) {
        if (!attachment.volumeMount.isEmpty() &&
            (attachment.volumeMount == clean || attachment.volumeMount == canonical))
            return attachment;
    }
    return std::nullopt;
}

QString canonicalBundle(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        throw Error{QStringLiteral("No such file or directory")};
    const QString canonical = info.canonicalFilePath();
    if (!QFileInfo::exists(cipherDirectory(canonical) + QStringLiteral("/gocryptfs.conf")))
        throw Error{QStringLiteral("image not recognized: %1 is not a vault").arg(path)};
    return canonical;
}

qint64 limitOf(const QString &bundlePath)
{
    QFile file(bundlePath + QLatin1Char('/') + infoName);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return Plist::parse(file.readAll())
        .value_or(QVariant())
        .toMap()
        .value(QStringLiteral("size"))
        .toLongLong();
}

void create(const QString &bundlePath, const QString &volumeName, qint64 limitBytes,
            const QByteArray &password)
{
    Tool::requireUsablePassword(password);
    if (limitBytes < smallestLimit || limitBytes > largestLimit)
        throw Error{QStringLiteral("Invalid argument: the size must be between 16 MB and 4 TB"),
                    Tool::statusInvalidArgument};
    const QFileInfo target(bundlePath);
    if (target.exists() || target.isSymLink())
        throw Error{QStringLiteral("File exists")};
    if (!target.absoluteDir().exists())
        throw Error{QStringLiteral("No such file or directory")};
    if (!QDir().mkdir(bundlePath))
        throw Error{QStringLiteral("Permission denied")};
    Tool::Rollback removeBundle([&] { Tool::removeTree(bundlePath); });
    const QString bundle = QFileInfo(bundlePath).canonicalFilePath();

    writeInfo(bundle, limitBytes);
    makePrivateFolder(cipherDirectory(bundle));
    // The only names in the layer are ours; everything private is inside the image.
    Tool::runHelperOrFail(QStringLiteral("cannot create the encrypted layer"),
                          Tool::helper(QStringLiteral("gocryptfs")),
                          {QStringLiteral("-init"), QStringLiteral("-q"), QStringLiteral("-plaintextnames"),
                           cipherDirectory(bundle)},
                          password + '\n');
    {
        OpenLayer layer(bundle, password);
        QFile image(layer.image());
        if (!image.open(QIODevice::WriteOnly) || !image.resize(limitBytes))
            throw Error{QStringLiteral("cannot create the image: ") + image.errorString()};
        image.close();
        const QString owner = QStringLiteral("root_owner=%1:%2").arg(getuid()).arg(getgid());
        Tool::runHelperOrFail(
            QStringLiteral("cannot create the file system"), Tool::helper(QStringLiteral("mke2fs")),
            {QStringLiteral("-t"), QStringLiteral("ext4"), QStringLiteral("-F"), QStringLiteral("-q"),
             QStringLiteral("-b"), QString::number(blockSize), QStringLiteral("-m"), QStringLiteral("0"),
             QStringLiteral("-O"), QStringLiteral("^has_journal,^inline_data"), QStringLiteral("-E"),
             QStringLiteral("lazy_itable_init=1,nodiscard,") + owner, layer.image()});
        // Only the owner may enter the volume.
        Tool::runHelperOrFail(QStringLiteral("cannot protect the volume"),
                              Tool::helper(QStringLiteral("debugfs")),
                              {QStringLiteral("-w"), QStringLiteral("-R"),
                               QStringLiteral("sif <2> mode 040700"), layer.image()});
        writeName(layer.folder(), volumeName);
    }
    removeBundle.dismiss();
}

QString attach(const QString &bundlePath, const QByteArray &password, bool hidden)
{
    const QString bundle = canonicalBundle(bundlePath);
    if (const std::optional<Attachment> existing = attachmentOfBundle(bundle)) {
        if (existing->volumeResponds) {
            checkPassword(bundle, password);
            return existing->volumeMount;
        }
        // Left behind by a daemon that died: clear it away and mount afresh.
        if (!existing->volumeMount.isEmpty())
            unmountVolume(*existing, true, QString());
        closeLayer(existing->layerMount);
    }
    const QString layer = layerPointFor(bundle);
    openLayer(bundle, password, layer);
    Tool::Rollback closeOnFailure([&] { closeLayer(layer); });
    const QString image = layer + QLatin1Char('/') + imageName;
    if (!QFileInfo::exists(image))
        throw Error{QStringLiteral("the vault's image is missing")};
    const QString mountPoint = freeMountPoint(nameInLayer(layer), hidden);
    mountVolume(image, mountPoint);
    closeOnFailure.dismiss();
    return mountPoint;
}

void detach(const Attachment &attachment, bool force)
{
    if (!attachment.volumeMount.isEmpty())
        unmountVolume(attachment, force, volumeName(attachment));
    closeLayer(attachment.layerMount);
}

void changePassword(const QString &bundlePath, const QByteArray &oldPassword, const QByteArray &newPassword)
{
    const QString bundle = canonicalBundle(bundlePath);
    if (oldPassword.isEmpty() || oldPassword.contains('\n') || oldPassword.contains('\r'))
        throw Error{QStringLiteral("Authentication error"), Tool::statusAuthentication};
    Tool::requireUsablePassword(newPassword, QStringLiteral("new password"));
    const Tool::HelperResult result =
        Tool::runHelper(Tool::helper(QStringLiteral("gocryptfs")),
                        {QStringLiteral("-passwd"), QStringLiteral("-q"), cipherDirectory(bundle)},
                        oldPassword + '\n' + newPassword + '\n');
    if (result.status == 12)
        throw Error{QStringLiteral("Authentication error"), Tool::statusAuthentication};
    if (result.status != 0)
        throw Error{Tool::lastLines(result.output)};
}

void resize(const QString &bundlePath, qint64 limitBytes, const QByteArray &password)
{
    const QString bundle = canonicalBundle(bundlePath);
    if (limitBytes < smallestLimit || limitBytes > largestLimit || limitBytes % blockSize != 0)
        throw Error{QStringLiteral("Invalid argument: the size must be between 16 MB and 4 TB"),
                    Tool::statusInvalidArgument};
    requireLocked(bundle);
    OpenLayer layer(bundle, password);
    checkAndRepair(layer.image(), true);
    QFile image(layer.image());
    const qint64 current = image.size();
    const QString resize2fs = Tool::helper(QStringLiteral("resize2fs"));
    const QString newSize = QString::number(limitBytes / 1024) + QLatin1Char('K');
    if (limitBytes > current) {
        if (!image.resize(limitBytes))
            throw Error{QStringLiteral("cannot grow the image: ") + image.errorString()};
        const Tool::HelperResult result = Tool::runHelper(resize2fs, {layer.image(), newSize});
        if (result.status != 0) {
            image.resize(current);
            throw Error{QStringLiteral("cannot grow the file system: ") + Tool::lastLines(result.output)};
        }
    } else if (limitBytes < current) {
        const Tool::HelperResult result = Tool::runHelper(resize2fs, {layer.image(), newSize});
        if (result.status != 0) {
            const QString output = QString::fromUtf8(result.output);
            if (output.contains(QLatin1String("No space left")) ||
                output.contains(QLatin1String("smaller than minimum")))
                throw Error{
                    QStringLiteral("Invalid argument: the files inside need more space than the new limit"),
                    Tool::statusInvalidArgument};
            throw Error{QStringLiteral("cannot shrink the file system: ") + Tool::lastLines(result.output)};
        }
        if (!image.resize(limitBytes))
            throw Error{QStringLiteral("cannot shrink the image: ") + image.errorString()};
    }
    writeInfo(bundle, limitBytes);
}

qint64 compact(const QString &bundlePath, const QByteArray &password)
{
    const QString bundle = canonicalBundle(bundlePath);
    requireLocked(bundle);
    const qint64 before = allocatedBytes(bundle);
    BlockMap map;
    {
        OpenLayer layer(bundle, password);
        checkAndRepair(layer.image(), true);
        map = readBlockMap(layer.image());
    }
    // With the layer closed, the ciphertext blocks behind free blocks become holes, which the
    // layer reads back as zeros.
    const QString cipherImage = cipherDirectory(bundle) + QLatin1Char('/') + imageName;
    const int fd = ::open(QFile::encodeName(cipherImage).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw Error{QStringLiteral("cannot open the image: ") + QString::fromLocal8Bit(strerror(errno))};
    struct stat info;
    fstat(fd, &info);
    for (const BlockRange &free : std::as_const(map.free)) {
        const qint64 start = free.first * map.blockSize;
        const qint64 end = (free.last + 1) * map.blockSize;
        const qint64 firstBlock = (start + plainBlock - 1) / plainBlock;
        const qint64 endBlock = end / plainBlock;
        if (endBlock <= firstBlock)
            continue;
        const qint64 offset = cipherHeader + firstBlock * cipherBlock;
        const qint64 length = std::min<qint64>((endBlock - firstBlock) * cipherBlock, info.st_size - offset);
        if (length <= 0)
            continue;
        if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EOPNOTSUPP)
                throw Error{QStringLiteral("the disk holding the vault cannot give space back")};
            throw Error{QStringLiteral("cannot release space: ") + QString::fromLocal8Bit(strerror(error))};
        }
    }
    fsync(fd);
    ::close(fd);
    return std::max<qint64>(0, before - allocatedBytes(bundle));
}

void checkPassword(const QString &bundlePath, const QByteArray &password)
{
    OpenLayer layer(canonicalBundle(bundlePath), password, true);
}

QString volumeName(const Attachment &attachment)
{
    return nameInLayer(attachment.layerMount);
}

QString renameVolume(const Attachment &attachment, const QString &newName)
{
    if (newName.isEmpty())
        throw Error{QStringLiteral("Invalid argument: the name is empty"), Tool::statusInvalidArgument};
    const bool hidden = attachment.volumeMount.startsWith(hiddenRoot() + QLatin1Char('/'));
    unmountVolume(attachment, false, volumeName(attachment));
    try {
        writeName(attachment.layerMount, newName);
    } catch (const Error &) {
        mountVolume(attachment.image(), attachment.volumeMount);
        throw;
    }
    const QString mountPoint = freeMountPoint(newName, hidden);
    try {
        mountVolume(attachment.image(), mountPoint);
    } catch (const Error &) {
        mountVolume(attachment.image(), attachment.volumeMount);
        throw;
    }
    return mountPoint;
}

Verification verify(const Attachment &attachment)
{
    const QString name = volumeName(attachment);
    Verification result;
    result.lines
        << QStringLiteral("Started file system verification on %1 (%2)").arg(attachment.volumeMount, name);
    unmountVolume(attachment, false, name);
    Tool::Rollback remount([&] { mountVolume(attachment.image(), attachment.volumeMount); });

    result.lines << QStringLiteral("Checking the encrypted layer");
    bool encryptionIntact = true;
    try {
        const BlockMap map = readBlockMap(attachment.image());
        QFile image(attachment.image());
        if (!image.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            throw Error{QStringLiteral("cannot read the image")};
        QByteArray buffer(1024 * 1024, Qt::Uninitialized);
        int damaged = 0;
        for (const BlockRange &used : usedRanges(map)) {
            const qint64 end = (used.last + 1) * map.blockSize;
            for (qint64 at = used.first * map.blockSize; at < end;) {
                // A read stops short at a block that fails its authentication; the next read
                // from there reports the error.
                const ssize_t length = pread(image.handle(), buffer.data(),
                                             size_t(std::min<qint64>(buffer.size(), end - at)), at);
                if (length > 0) {
                    at += length;
                    continue;
                }
                if (length == 0)
                    break;
                encryptionIntact = false;
                if (++damaged <= 3)
                    result.lines << QStringLiteral(
                                        "Encrypted data at offset %1 cannot be decrypted: it is damaged")
                                        .arg(at);
                at = (at / plainBlock + 1) * plainBlock;
            }
        }
        if (damaged > 3)
            result.lines << QStringLiteral("%1 more damaged regions").arg(damaged - 3);
    } catch (const Error &error) {
        encryptionIntact = false;
        result.lines << error.message;
    }

    result.lines << QStringLiteral("Checking file system");
    const Tool::HelperResult check =
        Tool::runHelper(Tool::helper(QStringLiteral("e2fsck")),
                        {QStringLiteral("-f"), QStringLiteral("-n"), attachment.image()});
    for (const QByteArray &line : check.output.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty())
            result.lines << text;
    }
    // Damage in the encrypted layer counts as an uncorrected error (e2fsck's 4).
    const int exitCode = encryptionIntact ? check.status : (check.status | 4);
    if (!encryptionIntact)
        result.lines << QStringLiteral(
            "The encrypted layer is damaged: some data in the vault cannot be read.");
    result.lines << QStringLiteral("File system check exit code is %1.").arg(exitCode);
    result.clean = exitCode == 0;
    remount.dismiss();
    try {
        mountVolume(attachment.image(), attachment.volumeMount);
    } catch (const Error &error) {
        result.lines << QStringLiteral("The volume could not be mounted again: ") + error.message;
        result.clean = false;
    }
    if (result.clean)
        result.lines << QStringLiteral("Finished file system verification on %1 (%2)")
                            .arg(attachment.volumeMount, name);
    return result;
}

qint64 allocatedBytes(const QString &path)
{
    qint64 total = 0;
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) == 0)
        total += qint64(info.st_blocks) * 512;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (lstat(QFile::encodeName(it.next()).constData(), &info) == 0)
            total += qint64(info.st_blocks) * 512;
    }
    return total;
}

} // namespace VaultImage

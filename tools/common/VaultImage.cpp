#include "VaultImage.h"

#include "Bundle.h"
#include "Engine.h"
#include "FileSystemCheck.h"
#include "Mounting.h"
#include "MountTable.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace VaultImage {

namespace {

using Tool::Error;

} // namespace

QString Attachment::image() const
{
    return layerMount + QLatin1Char('/') + imageName;
}

namespace {

// The volume mounted from an image, in the mount table.
const MountTable::Mount *volumeOf(const QList<MountTable::Mount> &mounts, const QString &image)
{
    for (const MountTable::Mount &volume : mounts) {
        if (volume.source == image && volume.fsType.startsWith(QLatin1String("fuse")))
            return &volume;
    }
    return nullptr;
}

// How long a mounted vault may take to answer a read before it counts as stuck.
constexpr int answerTimeoutMs = 5000;

// Whether an attached vault answers a real read in time: the file system's statistics and the
// image's first block through the encryption. Asked in a child process, which is killed when a
// stopped daemon leaves it hanging.
bool answersRead(const Attachment &attachment)
{
    if (!attachment.healthy || attachment.volumeMount.isEmpty())
        return false;
    const QByteArray volume = QFile::encodeName(attachment.volumeMount);
    const QByteArray image = QFile::encodeName(attachment.image());
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        struct statvfs fs;
        char block[4096];
        const int fd = ::open(image.constData(), O_RDONLY | O_CLOEXEC);
        const bool ok = statvfs(volume.constData(), &fs) == 0 && fd >= 0 &&
                        pread(fd, block, sizeof block, 0) == ssize_t(sizeof block);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    for (int waited = 0; waited < answerTimeoutMs; waited += 10) {
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        usleep(10000);
    }
    kill(child, SIGKILL);
    for (int waited = 0; waited < answerTimeoutMs && waitpid(child, &status, WNOHANG) != child; waited += 10)
        usleep(10000);
    return false;
}

// The attachment of a bundle as it is now: looked up again once the bundle's lock is held.
std::optional<Attachment> currentAttachment(const QString &bundle)
{
    return attachmentOfBundle(bundle);
}

// The name of the volume; the name of its mount point when the volume cannot answer.
QString displayName(const Attachment &attachment)
{
    return attachment.healthy ? nameInLayer(attachment.layerMount)
                              : QFileInfo(attachment.volumeMount).fileName();
}

// Clears away what dead or stopped daemons left of a vault: its volume, its layer, and a volume
// still mounted from its layer's place.
void clearLeftovers(const QString &bundle)
{
    if (const std::optional<Attachment> existing = currentAttachment(bundle)) {
        if (!existing->volumeMount.isEmpty())
            unmountVolume(*existing, true, displayName(*existing));
        closeLayer(existing->layerMount);
    }
    const QString image = layerPointFor(bundle) + QLatin1Char('/') + imageName;
    if (const MountTable::Mount *orphan = volumeOf(MountTable::mounts(), image)) {
        Attachment attachment;
        attachment.layerMount = layerPointFor(bundle);
        attachment.volumeMount = orphan->mountPoint;
        unmountVolume(attachment, true, QString());
    }
}

// A vault must be locked for maintenance. A layer without a volume is what an operation that
// was killed left behind: with the bundle's lock held, nothing else can be using it.
void requireLocked(const QString &bundle)
{
    const std::optional<Attachment> attachment = currentAttachment(bundle);
    if (attachment && !attachment->volumeMount.isEmpty())
        throw Error{QStringLiteral("Resource busy: the vault is attached; detach it first"),
                    Tool::statusBusy};
    if (attachment)
        clearLeftovers(bundle);
}

// The live volume mounted at a place, looked up again once its bundle's lock is held.
class LockedVolume
{
public:
    explicit LockedVolume(const QString &mountPoint)
    {
        const std::optional<Attachment> found = attachmentAtMountPoint(mountPoint);
        if (!found || !found->healthy || found->isOrphan())
            throw Error{QStringLiteral("no vault volume is mounted at %1").arg(mountPoint)};
        m_lock = std::make_unique<BundleLock>(found->bundlePath);
        m_attachment = currentAttachment(found->bundlePath).value_or(Attachment());
        if (m_attachment.volumeMount != found->volumeMount)
            throw Error{QStringLiteral("no vault volume is mounted at %1").arg(mountPoint)};
    }

    [[nodiscard]] const Attachment &attachment() const { return m_attachment; }

private:
    std::unique_ptr<BundleLock> m_lock;
    Attachment m_attachment;
};

// Opens the layer read-only at a place of its own and closes it: only the password is checked.
void checkPasswordHoldingLock(const QString &bundle, const QByteArray &password)
{
    OpenLayer layer(bundle, password, true);
}

} // namespace

QList<Attachment> attachments()
{
    const QList<MountTable::Mount> mounts = MountTable::mounts();
    const QString root = layersRoot() + QLatin1Char('/');
    QList<Attachment> result;
    for (const MountTable::Mount &layer : mounts) {
        const Engine *engine = Engine::ofLayerType(layer.fsType);
        if (!engine || !layer.mountPoint.startsWith(root))
            continue;
        Attachment attachment;
        attachment.layerMount = layer.mountPoint;
        // The daemon's arguments hold the exact path; the mount table may have altered it.
        const MountTable::Process daemon = engine->layerServer(layer.mountPoint);
        const qsizetype at = daemon.arguments.lastIndexOf(layer.mountPoint);
        const QString cipher = at > 0 ? daemon.arguments[at - 1] : layer.source;
        attachment.bundlePath = QFileInfo(cipher).path();
        if (const MountTable::Mount *volume = volumeOf(mounts, attachment.image())) {
            attachment.volumeMount = volume->mountPoint;
            attachment.healthy = engine->serves(attachment, daemon);
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
    // Only the parent folder is resolved: looking into the mount itself would hang on a stopped
    // daemon.
    const QString clean = QDir::cleanPath(mountPoint);
    const QFileInfo info(clean);
    const QString resolved = QFileInfo(info.path()).canonicalFilePath() + QLatin1Char('/') + info.fileName();
    for (const Attachment &attachment : attachments()) {
        if (!attachment.volumeMount.isEmpty() &&
            (attachment.volumeMount == clean || attachment.volumeMount == resolved))
            return attachment;
    }
    const QString layers = layersRoot() + QLatin1Char('/');
    for (const MountTable::Mount &volume : MountTable::mounts()) {
        if ((volume.mountPoint == clean || volume.mountPoint == resolved) &&
            volume.fsType.startsWith(QLatin1String("fuse")) && volume.source.startsWith(layers)) {
            Attachment orphan;
            orphan.layerMount = QFileInfo(volume.source).path();
            orphan.volumeMount = volume.mountPoint;
            return orphan;
        }
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
    const qint64 limit = readInfo(bundlePath).value(sizeKey).toLongLong();
    return limit >= smallestLimit && limit <= largestLimit ? limit : 0;
}

void create(const QString &bundlePath, const QString &volumeName, qint64 limitBytes,
            const QByteArray &password)
{
    Tool::requireUsablePassword(password);
    requireUsableVolumeName(volumeName);
    if (limitBytes < smallestLimit || limitBytes > largestLimit)
        throw Error{QStringLiteral("Invalid argument: the size must be between 16 MB and 4 TB"),
                    Tool::statusInvalidArgument};
    const QFileInfo target(bundlePath);
    if (target.exists() || target.isSymLink())
        throw Error{QStringLiteral("File exists")};
    if (!target.absoluteDir().exists())
        throw Error{QStringLiteral("No such file or directory")};
    // The vault is made under a name of its own beside the target and takes the target's name only
    // when it is whole: a create that is killed leaves no half-made vault, and the next create of
    // the same name clears away what it left.
    const QString partial =
        target.absolutePath() + QStringLiteral("/.creating-") +
        QString::fromLatin1(QCryptographicHash::hash(target.fileName().toUtf8(), QCryptographicHash::Sha256)
                                .toHex()
                                .left(16));
    if (QFileInfo(partial).isDir() && !QFileInfo(partial).isSymLink()) {
        const BundleLock earlier(partial);
        clearLeftovers(QFileInfo(partial).canonicalFilePath());
        Tool::removeTree(partial);
    }
    if (mkdir(QFile::encodeName(partial).constData(), 0755) != 0)
        throw Error{systemError(errno)};
    Tool::Rollback removeBundle([&] { Tool::removeTree(partial); });
    const BundleLock lock(partial);
    const QString bundle = QFileInfo(partial).canonicalFilePath();

    // At least two block groups, so that even a small vault has a copy of its superblock.
    const qint64 blocks = limitBytes / blockSize;
    const qint64 groupBlocks = std::clamp<qint64>((blocks / 2 + 7) / 8 * 8, 256, 8 * blockSize);
    writeInfo(bundle, {{sizeKey, limitBytes}, {backupSuperblockKey, groupBlocks}});
    makePrivateFolder(cipherDirectory(bundle));
    // The only names in the layer are ours; everything private is inside the image.
    Tool::runHelperOrFail(QStringLiteral("cannot create the encrypted layer"),
                          Tool::helper(QStringLiteral("gocryptfs")),
                          {QStringLiteral("-init"), QStringLiteral("-q"), QStringLiteral("-plaintextnames"),
                           cipherDirectory(bundle)},
                          Tool::keepSecret(password + '\n'));
    {
        OpenLayer layer(bundle, password);
        QFile image(layer.image());
        if (!image.open(QIODevice::WriteOnly) || !image.resize(limitBytes))
            throw Error{QStringLiteral("cannot create the image: ") + image.errorString()};
        image.close();
        const QString owner = QStringLiteral("root_owner=%1:%2").arg(getuid()).arg(getgid());
        // No journal (fuse2fs does not use it), no inline data (fuse2fs mishandles it), no blocks
        // kept for growth and one inode per block: what is left is the user's to fill.
        Tool::runHelperOrFail(
            QStringLiteral("cannot create the file system"), Tool::helper(QStringLiteral("mke2fs")),
            {QStringLiteral("-t"), QStringLiteral("ext4"), QStringLiteral("-F"), QStringLiteral("-q"),
             QStringLiteral("-b"), QString::number(blockSize), QStringLiteral("-g"),
             QString::number(groupBlocks), QStringLiteral("-i"), QString::number(blockSize),
             QStringLiteral("-m"), QStringLiteral("0"), QStringLiteral("-O"),
             QStringLiteral("^has_journal,^inline_data,^resize_inode"), QStringLiteral("-E"),
             QStringLiteral("lazy_itable_init=1,nodiscard,") + owner, QStringLiteral("-l"), LastBlockList(limitBytes).path(),
             layer.image()});
        // Only the owner may enter the volume.
        Tool::runHelperOrFail(QStringLiteral("cannot protect the volume"),
                              Tool::helper(QStringLiteral("debugfs")),
                              {QStringLiteral("-w"), QStringLiteral("-R"),
                               QStringLiteral("sif <2> mode 040700"), layer.image()});
        writeName(layer.folder(), volumeName);
    }
    if (renameat2(AT_FDCWD, QFile::encodeName(partial).constData(), AT_FDCWD,
                  QFile::encodeName(bundlePath).constData(), RENAME_NOREPLACE) != 0)
        throw Error{systemError(errno)};
    removeBundle.dismiss();
}

Attached attach(const QString &bundlePath, const QByteArray &password, bool hidden)
{
    const QString bundle = canonicalBundle(bundlePath);
    const BundleLock lock(bundle);
    if (const std::optional<Attachment> existing = currentAttachment(bundle);
        existing && answersRead(*existing)) {
        checkPasswordHoldingLock(bundle, password);
        return {existing->volumeMount, {}};
    }
    clearLeftovers(bundle);
    const QString layer = layerPointFor(bundle);
    const LayerRecovery recovery = Engine::chosen().openLayer(bundle, password, layer, false);
    Tool::Rollback closeOnFailure([&] { closeLayer(layer); });
    const QString image = layer + QLatin1Char('/') + imageName;
    if (!QFileInfo::exists(image))
        throw Error{QStringLiteral("the vault's image is missing")};
    const QString mountPoint = freeMountPoint(nameInLayer(layer), hidden);
    QStringList report;
    if (recovery.replayed > 0)
        report << QStringLiteral("The vault was not locked cleanly: %1 changes made just before were completed "
                                 "from its journal.")
                      .arg(recovery.replayed);
    if (recovery.cleared > 0)
        report << QStringLiteral("%1 blocks of changes that had not reached the disk were cleared.")
                      .arg(recovery.cleared);
    if (const QString repaired = mountVolume(bundle, image, mountPoint); !repaired.isEmpty())
        report << repaired;
    closeOnFailure.dismiss();
    return {mountPoint, report.join(QLatin1Char(' '))};
}

void detach(const QString &mountPoint, bool force)
{
    const std::optional<Attachment> found = attachmentAtMountPoint(mountPoint);
    if (!found)
        throw Error{QStringLiteral("no vault is mounted at %1").arg(mountPoint)};
    if (found->isOrphan()) {
        unmountVolume(*found, true, QString());
        QDir().rmdir(found->layerMount);
        return;
    }
    const BundleLock lock(found->bundlePath);
    const std::optional<Attachment> attachment = currentAttachment(found->bundlePath);
    if (!attachment || attachment->volumeMount != found->volumeMount)
        throw Error{QStringLiteral("no vault is mounted at %1").arg(mountPoint)};
    unmountVolume(*attachment, force, displayName(*attachment));
    closeLayer(attachment->layerMount);
}

void changePassword(const QString &bundlePath, const QByteArray &oldPassword, const QByteArray &newPassword)
{
    const QString bundle = canonicalBundle(bundlePath);
    if (oldPassword.isEmpty() || oldPassword.contains('\n') || oldPassword.contains('\r'))
        throw Error{QStringLiteral("Authentication error"), Tool::statusAuthentication};
    Tool::requireUsablePassword(newPassword, QStringLiteral("new password"));
    const BundleLock lock(bundle);
    // A change interrupted before its rename leaves the new settings half written beside the
    // intact old ones, and gocryptfs refuses to start while they are there.
    QFile::remove(cipherDirectory(bundle) + QStringLiteral("/gocryptfs.conf.tmp"));
    const Tool::HelperResult result =
        Tool::runHelper(Tool::helper(QStringLiteral("gocryptfs")),
                        {QStringLiteral("-passwd"), QStringLiteral("-q"), cipherDirectory(bundle)},
                        Tool::keepSecret(oldPassword + '\n' + newPassword + '\n'));
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
    const BundleLock lock(bundle);
    requireLocked(bundle);
    OpenLayer layer(bundle, password);
    checkAndRepair(bundle, layer.image(), true);
    const QString stage = QStringLiteral("Changing the size limit");
    Tool::reportProgress(checkedShare, stage);
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
            throw Error{QStringLiteral("cannot grow the file system: ") + complaint(result.output)};
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
            throw Error{QStringLiteral("cannot shrink the file system: ") + complaint(result.output)};
        }
        if (!image.resize(limitBytes))
            throw Error{QStringLiteral("cannot shrink the image: ") + image.errorString()};
    }
    if (limitBytes != current) {
        const Tool::HelperResult marked =
            Tool::runHelper(Tool::helper(QStringLiteral("e2fsck")),
                            {QStringLiteral("-fy"), QStringLiteral("-l"), LastBlockList(limitBytes).path(), layer.image()});
        if (marked.status >= 4)
            throw Error{QStringLiteral("cannot check the resized file system: ") + complaint(marked.output)};
    }
    writeInfo(bundle, {{sizeKey, limitBytes}});
    Tool::reportProgress(100, stage);
}

qint64 lowestLimit(const QString &bundlePath, const QByteArray &password)
{
    const QString bundle = canonicalBundle(bundlePath);
    const BundleLock lock(bundle);
    requireLocked(bundle);
    OpenLayer layer(bundle, password, true);
    const Tool::HelperResult estimate =
        Tool::runHelper(Tool::helper(QStringLiteral("resize2fs")), {QStringLiteral("-P"), layer.image()});
    static const QRegularExpression blocks(QStringLiteral("minimum size of the filesystem: (\\d+)"));
    const QRegularExpressionMatch found = blocks.match(QString::fromUtf8(estimate.output));
    if (estimate.status != 0 || !found.hasMatch())
        throw Error{QStringLiteral("cannot work out the lowest limit: ") + complaint(estimate.output)};
    // The resize marks the new last block as unusable: one block more.
    const qint64 bytes = (found.captured(1).toLongLong() + 1) * blockSize;
    return std::clamp((bytes + megabyte - 1) / megabyte * megabyte, smallestLimit, largestLimit);
}

qint64 compact(const QString &bundlePath, const QByteArray &password)
{
    const QString bundle = canonicalBundle(bundlePath);
    const BundleLock lock(bundle);
    requireLocked(bundle);
    // The check and repair first runs whole; the holes given back after it may stop part-way.
    const Tool::StopRequests stopping;
    const qint64 before = allocatedBytes(bundle);
    BlockMap map;
    {
        OpenLayer layer(bundle, password);
        checkAndRepair(bundle, layer.image(), true);
        map = readBlockMap(layer.image());
    }
    // With the layer closed, the ciphertext blocks behind free blocks become holes, which the
    // layer reads back as zeros.
    const QString cipherImage = cipherDirectory(bundle) + QLatin1Char('/') + imageName;
    const int fd = ::open(QFile::encodeName(cipherImage).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw Error{QStringLiteral("cannot open the image: ") + systemError(errno)};
    const auto closing = qScopeGuard([fd] {
        fsync(fd);
        ::close(fd);
    });
    struct stat info;
    fstat(fd, &info);
    const QString stage = QStringLiteral("Giving free space back");
    qsizetype done = 0;
    for (const BlockRange &free : std::as_const(map.free)) {
        Tool::stopIfAsked();
        Tool::reportProgress(checkedShare +
                                 int((100 - checkedShare) * done++ / std::max<qsizetype>(map.free.size(), 1)),
                             stage);
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
            if (error == EOPNOTSUPP)
                throw Error{QStringLiteral("the disk holding the vault cannot give space back")};
            throw Error{QStringLiteral("cannot release space: ") + systemError(error)};
        }
    }
    Tool::reportProgress(100, stage);
    return std::max<qint64>(0, before - allocatedBytes(bundle));
}

void checkPassword(const QString &bundlePath, const QByteArray &password)
{
    const QString bundle = canonicalBundle(bundlePath);
    const BundleLock lock(bundle);
    checkPasswordHoldingLock(bundle, password);
}

QString renameVolume(const QString &mountPoint, const QString &newName)
{
    requireUsableVolumeName(newName);
    const LockedVolume volume(mountPoint);
    const Attachment &attachment = volume.attachment();
    const QString bundle = attachment.bundlePath;
    const QString oldName = nameInLayer(attachment.layerMount);
    const bool hidden = attachment.volumeMount.startsWith(hiddenRoot() + QLatin1Char('/'));
    unmountVolume(attachment, false, oldName);
    // Whatever fails, the vault goes back to its old name and place.
    Tool::Rollback restore([&] {
        writeName(attachment.layerMount, oldName);
        mountVolume(bundle, attachment.image(), attachment.volumeMount);
    });
    writeName(attachment.layerMount, newName);
    const QString renamed = freeMountPoint(newName, hidden);
    mountVolume(bundle, attachment.image(), renamed);
    restore.dismiss();
    return renamed;
}

Verification verify(const QString &mountPoint)
{
    // Nothing is written: the check may stop at any moment, and the volume is mounted again.
    const Tool::StopRequests stopping;
    const LockedVolume volume(mountPoint);
    const Attachment &attachment = volume.attachment();
    const QString bundle = attachment.bundlePath;
    const QString name = nameInLayer(attachment.layerMount);
    Verification result;
    result.lines
        << QStringLiteral("Started file system verification on %1 (%2)").arg(attachment.volumeMount, name);
    unmountVolume(attachment, false, name);
    Tool::Rollback remount([&] { mountVolume(bundle, attachment.image(), attachment.volumeMount); });
    const int exitCode = checkFileSystem(bundle, attachment.image(), false, result.lines);
    result.lines << QStringLiteral("File system check exit code is %1.").arg(exitCode);
    result.clean = exitCode == 0;
    remount.dismiss();
    try {
        mountVolume(bundle, attachment.image(), attachment.volumeMount);
    } catch (const Error &error) {
        result.lines << QStringLiteral("The volume could not be mounted again: ") + error.message;
        result.clean = false;
    }
    if (result.clean)
        result.lines << QStringLiteral("Finished file system verification on %1 (%2)")
                            .arg(attachment.volumeMount, name);
    return result;
}

Verification checkLocked(const QString &bundlePath, const QByteArray &password, bool repair)
{
    const QString bundle = canonicalBundle(bundlePath);
    const BundleLock lock(bundle);
    requireLocked(bundle);
    std::optional<Tool::StopRequests> stopping;
    if (!repair)
        stopping.emplace();
    OpenLayer layer(bundle, password, !repair);
    Verification result;
    result.lines << QStringLiteral("Started file system %1 on %2")
                        .arg(repair ? QStringLiteral("repair") : QStringLiteral("verification"), bundle);
    const int exitCode = checkFileSystem(bundle, layer.image(), repair, result.lines);
    result.lines << QStringLiteral("File system check exit code is %1.").arg(exitCode);
    result.clean = exitCode == 0;
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

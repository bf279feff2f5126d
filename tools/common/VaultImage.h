#pragma once

#include "ToolSupport.h"

#include <QString>

#include <optional>

// A vault on disk and its two mounted layers.
//
//   NAME.sparsebundle/
//     Info.plist     the limit in bytes ("size") and the format
//     cipher/        a gocryptfs directory holding
//       disk.img     a sparse ext4 image as large as the limit, labelled with the volume name
//       volume-name  the full volume name (labels hold at most 16 bytes)
//
// Attaching mounts the decrypted view of the cipher folder at a private place under
// $XDG_RUNTIME_DIR/hollowkeep and the ext4 image at ~/Vaults/<volume name> (or a hidden place):
// both from one process, the volume daemon, or with HOLLOWKEEP_VOLUME_ENGINE=fuse2fs from gocryptfs
// and fuse2fs.
namespace VaultImage {

inline constexpr qint64 megabyte = 1024 * 1024;
inline constexpr qint64 smallestLimit = 16 * megabyte;
inline constexpr qint64 largestLimit = 4 * megabyte * megabyte; // 4 TB

// One attached vault as the kernel's mount table and the daemons' arguments show it.
struct Attachment
{
    QString bundlePath;  // the bundle, as it was given to the encryption layer; empty for an orphan
    QString layerMount;  // where the decrypted view of the bundle is mounted
    QString volumeMount; // where the file system inside is mounted; empty when it is not
    // Both daemons run. A dead or stopped one leaves a mount that fails or hangs: such a vault is
    // still attached, and detaching it is how it is cleared away.
    bool healthy = false;

    [[nodiscard]] QString image() const;
    // A volume whose encryption layer is gone: it serves nothing and only its mount point is known.
    [[nodiscard]] bool isOrphan() const { return bundlePath.isEmpty(); }
};

// Read from the mount table and the processes only, never from the mounts themselves: a stopped
// daemon would hang any look at its files.
[[nodiscard]] QList<Attachment> attachments();
[[nodiscard]] std::optional<Attachment> attachmentOfBundle(const QString &bundlePath);
// Also finds orphaned volumes.
[[nodiscard]] std::optional<Attachment> attachmentAtMountPoint(const QString &mountPoint);

// The bundle's canonical path; an Error when the path is not a vault.
[[nodiscard]] QString canonicalBundle(const QString &path);

// The limit from Info.plist; 0 when the file is missing or holds no usable limit.
[[nodiscard]] qint64 limitOf(const QString &bundlePath);

void create(const QString &bundlePath, const QString &volumeName, qint64 limitBytes,
            const QByteArray &password);

struct Attached
{
    QString mountPoint;
    // What a repair after an unclean detach did, in plain words; empty when nothing was repaired.
    QString repairReport;
};
// Mounts the vault; an attached vault that still answers stays where it is. Leftovers of dead or
// stopped daemons are cleared away first, and a file system left damaged is repaired.
[[nodiscard]] Attached attach(const QString &bundlePath, const QByteArray &password, bool hidden);
// Detaches the vault or orphaned volume mounted there.
void detach(const QString &mountPoint, bool force);
void changePassword(const QString &bundlePath, const QByteArray &oldPassword, const QByteArray &newPassword);
void resize(const QString &bundlePath, qint64 limitBytes, const QByteArray &password);
// The lowest limit a locked vault can be given: what its files and the file system's own tables
// need, as the resize reckons it, in whole megabytes.
[[nodiscard]] qint64 lowestLimit(const QString &bundlePath, const QByteArray &password);
// Gives the host disk back the space of free blocks; answers the bytes reclaimed.
[[nodiscard]] qint64 compact(const QString &bundlePath, const QByteArray &password);
// Only checks the password.
void checkPassword(const QString &bundlePath, const QByteArray &password);

// Renames the volume mounted there: new label, and the mount point follows the name. Answers the
// new mount point.
[[nodiscard]] QString renameVolume(const QString &mountPoint, const QString &newName);

struct Verification
{
    QStringList lines;
    bool clean = false;
};
// Checks the encrypted blocks in use and the file system of the volume mounted there, remounting
// it afterwards.
[[nodiscard]] Verification verify(const QString &mountPoint);
// Checks, or with repair also repairs, the file system of a locked vault: works when it cannot
// be mounted.
[[nodiscard]] Verification checkLocked(const QString &bundlePath, const QByteArray &password, bool repair);

// Allocated bytes of a path on the host disk.
[[nodiscard]] qint64 allocatedBytes(const QString &path);

} // namespace VaultImage

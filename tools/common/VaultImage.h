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
// Attaching mounts the gocryptfs layer at a private place under $XDG_RUNTIME_DIR/hollowkeep and the
// ext4 image with fuse2fs at ~/Vaults/<volume name> (or a hidden place).
namespace VaultImage {

inline constexpr qint64 megabyte = 1024 * 1024;
inline constexpr qint64 smallestLimit = 16 * megabyte;
inline constexpr qint64 largestLimit = 4 * megabyte * megabyte; // 4 TB

// One attached vault as the kernel's mount table and the daemons' arguments show it.
struct Attachment
{
    QString bundlePath;  // the bundle, as it was given to the encryption layer
    QString layerMount;  // where the decrypted view of the bundle is mounted
    QString volumeMount; // where the file system inside is mounted; empty when it is not
    bool volumeResponds = false;

    [[nodiscard]] QString image() const;
};

[[nodiscard]] QList<Attachment> attachments();
[[nodiscard]] std::optional<Attachment> attachmentOfBundle(const QString &bundlePath);
[[nodiscard]] std::optional<Attachment> attachmentAtMountPoint(const QString &mountPoint);

// The bundle's canonical path; an Error when the path is not a vault.
[[nodiscard]] QString canonicalBundle(const QString &path);
[[nodiscard]] qint64 limitOf(const QString &bundlePath);

void create(const QString &bundlePath, const QString &volumeName, qint64 limitBytes,
            const QByteArray &password);
// Mounts the vault and answers its mount point; an attached vault answers where it is.
[[nodiscard]] QString attach(const QString &bundlePath, const QByteArray &password, bool hidden);
void detach(const Attachment &attachment, bool force);
void changePassword(const QString &bundlePath, const QByteArray &oldPassword, const QByteArray &newPassword);
void resize(const QString &bundlePath, qint64 limitBytes, const QByteArray &password);
// Gives the host disk back the space of free blocks; answers the bytes reclaimed.
[[nodiscard]] qint64 compact(const QString &bundlePath, const QByteArray &password);
// Only checks the password.
void checkPassword(const QString &bundlePath, const QByteArray &password);

[[nodiscard]] QString volumeName(const Attachment &attachment);
// Renames the volume: new label, and the mount point follows the name. Answers the new mount point.
[[nodiscard]] QString renameVolume(const Attachment &attachment, const QString &newName);

struct Verification
{
    QStringList lines;
    bool clean = false;
};
// Checks the encrypted blocks in use and the file system, remounting the volume afterwards.
[[nodiscard]] Verification verify(const Attachment &attachment);

// Allocated bytes of a path on the host disk.
[[nodiscard]] qint64 allocatedBytes(const QString &path);

} // namespace VaultImage

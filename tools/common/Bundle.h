#pragma once

#include "ToolSupport.h"

#include <QString>
#include <QVariantMap>

// The parts of a vault bundle, its Info.plist, its lock, and the places where the tools mount
// vaults: what every step of the tools shares (VaultImage.h tells the layout).
namespace VaultImage {

inline const QString imageName = QStringLiteral("disk.img");
inline const QString nameFileName = QStringLiteral("volume-name");
inline const QString sizeKey = QStringLiteral("size");
// The first block of the second block group, which holds a copy of the superblock.
inline const QString backupSuperblockKey = QStringLiteral("backup-superblock");

// ext4 block size. Every block is one request to the encryption layer, so larger blocks write
// much faster through it; 32 KiB balances that against the space small files take (bench/).
inline constexpr int blockSize = 32768;
// gocryptfs file layout: a header, then 4096-byte blocks stored as 4128 bytes (nonce and tag).
inline constexpr qint64 cipherHeader = 18;
inline constexpr qint64 plainBlock = 4096;
inline constexpr qint64 cipherBlock = 4128;
// How long a daemon may take to write everything and exit after its unmount.
inline constexpr int daemonExitTimeoutMs = 120000;

[[nodiscard]] QString runtimeRoot();
// Where the decrypted views are mounted, and hidden volumes.
[[nodiscard]] QString layersRoot();
[[nodiscard]] QString hiddenRoot();
void makePrivateFolder(const QString &path);
// The private place where a bundle's decrypted view is mounted.
[[nodiscard]] QString layerPointFor(const QString &canonicalBundle);
[[nodiscard]] QString cipherDirectory(const QString &bundle);

[[nodiscard]] QVariantMap readInfo(const QString &bundle);
// Writes Info.plist with the changed keys, keeping the others.
void writeInfo(const QString &bundle, const QVariantMap &changes);

[[nodiscard]] QString systemError(int error);

// One operation on a bundle at a time: held for the whole operation, released when the tool
// exits however it ends. Daemons never inherit it.
class BundleLock
{
public:
    explicit BundleLock(const QString &bundle);
    ~BundleLock();
    BundleLock(const BundleLock &) = delete;
    BundleLock &operator=(const BundleLock &) = delete;

private:
    int m_fd = -1;
};

// ext4 labels hold 16 bytes.
[[nodiscard]] QString labelFor(const QString &volumeName);
void requireUsableVolumeName(const QString &name);

// A mount point for a volume of that name: ~/Vaults/NAME, or NAME 1, NAME 2… when taken.
[[nodiscard]] QString freeMountPoint(const QString &volumeName, bool hidden);
// Removes a mount point folder the tools made, once nothing is mounted there.
void removeMountPoint(const QString &path);
void unmount(const QString &mountPoint, bool lazy);
// Why a volume cannot be detached: the programs that have files open on it.
[[nodiscard]] QString busyMessage(const QString &mountPoint, const QString &name);

} // namespace VaultImage

#pragma once

#include "ToolSupport.h"

#include <QList>
#include <QString>
#include <QTemporaryFile>

#include <optional>

// The file system inside a vault's image, checked and repaired with e2fsprogs while it is not
// mounted, with what the checks say put in plain words and their progress reported.
namespace VaultImage {

// A helper's complaint in whole sentences: the last paragraph of its output, its wrapped lines
// joined, without the advice to run a checker by hand.
[[nodiscard]] QString complaint(const QByteArray &output);

// The share of an operation's progress the file-system check takes; the step that follows it
// (a resize, giving space back) takes the rest.
inline constexpr int checkedShare = 90;
// In a verification the pass over the encrypted data follows, and reads every block in use: it
// takes half.
inline constexpr int verifiedShare = 50;

struct Repair
{
    QByteArray log;  // everything e2fsck said, to keep inside the vault
    QString summary; // in plain words
};
// Checks the file system before it is mounted. What a clean detach leaves passes at once; what a
// crash leaves gets the quick repair, or, when the quick repair refuses, the full one, from the
// backup superblock when the first one is lost. Answers what was repaired.
std::optional<Repair> checkAndRepair(const QString &bundle, const QString &image, bool force);

// Settings a file system must have before it is mounted: the owner can open lost+found (e2fsck
// makes it as root), and the whole limit is usable (fuse2fs keeps a tenth back when no blocks are
// reserved, so one is).
void prepareFileSystem(const QString &image);

// The last block of a file system goes to its bad-block list: fuse2fs (libext2fs 1.47.0) cannot
// free a file's extent that ends there, so a file holding it could never be deleted. A list file
// for mke2fs and e2fsck -l.
class LastBlockList
{
public:
    explicit LastBlockList(qint64 imageBytes);
    [[nodiscard]] QString path() const { return m_file.fileName(); }

private:
    QTemporaryFile m_file;
};

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
// The free blocks of the file system in an image, as dumpe2fs lists them.
[[nodiscard]] BlockMap readBlockMap(const QString &image);

// Runs e2fsck on an image that is not mounted, and reads every block in use through the
// encryption; repair fixes what it finds. Answers the status, with damage in the encrypted layer
// counted as an uncorrected error (e2fsck's 4), and adds what it found to the lines.
int checkFileSystem(const QString &bundle, const QString &image, bool repair, QStringList &lines);

} // namespace VaultImage

#include "FileSystemCheck.h"

#include "Bundle.h"
#include "MountTable.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <optional>
#include <unistd.h>

namespace VaultImage {

using Tool::Error;

namespace {

qint64 backupSuperblockOf(const QString &bundle)
{
    return readInfo(bundle).value(backupSuperblockKey).toLongLong();
}

// Runs e2fsck on an image that is not mounted. When the first superblock cannot be read (status
// 8), it runs again from the copy in the second block group.
Tool::HelperResult runCheck(const QString &bundle, const QString &image, const QStringList &options,
                            const Tool::LineObserver &onLine = {})
{
    const QString e2fsck = Tool::helper(QStringLiteral("e2fsck"));
    const Tool::HelperResult result = Tool::runHelper(e2fsck, options + QStringList{image}, {}, false, onLine);
    const qint64 backup = backupSuperblockOf(bundle);
    if (result.status < 8 || backup <= 0)
        return result;
    Tool::HelperResult again = Tool::runHelper(
        e2fsck,
        options + QStringList{QStringLiteral("-b"), QString::number(backup), QStringLiteral("-B"),
                              QString::number(blockSize), image},
        {}, false, onLine);
    again.output.prepend(result.output);
    return again;
}

// The repairs a preen pass reports; the deletes a crash interrupted that it completes (files
// removed while still open) are no repair.
qsizetype preenFixes(const QByteArray &output)
{
    static const QRegularExpression fix(QStringLiteral("(FIXED|CLEARED|SALVAGED|RELOCATED|CREATED|EXPANDED)\\.?$"));
    qsizetype fixes = 0;
    for (const QByteArray &line : output.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (fix.match(text).hasMatch() && !text.contains(QLatin1String("orphaned inode")))
            ++fixes;
    }
    return fixes;
}

// e2fsck's progress lines ("PASS DONE TOTAL DEVICE", asked for with -C 1) as one percentage of
// the whole check, with what the pass looks at; the encrypted layer takes the last tenth.
struct CheckProgress
{
    static QRegularExpressionMatch match(const QByteArray &line)
    {
        static const QRegularExpression progress(QStringLiteral("^([1-5]) (\\d+) (\\d+) \\S"));
        return progress.match(QString::fromUtf8(line));
    }
    [[nodiscard]] static bool isProgress(const QByteArray &line) { return match(line).hasMatch(); }
    [[nodiscard]] static QByteArray withoutProgress(const QByteArray &output)
    {
        QByteArray kept;
        for (const QByteArray &line : output.split('\n')) {
            if (!isProgress(line))
                kept += line + '\n';
        }
        kept.chop(1);
        return kept;
    }

    // The check's progress, taking the first `share` percent of the whole.
    [[nodiscard]] static Tool::LineObserver reporter(int share)
    {
        return [share](const QByteArray &line) { report(line, share); };
    }
    static void report(const QByteArray &line, int share)
    {
        const QRegularExpressionMatch found = match(line);
        if (!found.hasMatch())
            return;
        // Where each pass starts, in percent of the check, and the stage a person reads.
        static const int starts[] = {0, 0, 67, 89, 92, 96, 100};
        static const char *const stages[] = {"",
                                             "Checking files and their blocks",
                                             "Checking folders",
                                             "Checking how folders connect",
                                             "Checking link counts",
                                             "Checking the free space records"};
        const int pass = found.captured(1).toInt();
        const double total = std::max(1.0, found.captured(3).toDouble());
        const double done = std::min(total, found.captured(2).toDouble());
        const double ofCheck = starts[pass] + (starts[pass + 1] - starts[pass]) * done / total;
        Tool::reportProgress(int(share * ofCheck / 100), QString::fromLatin1(stages[pass]));
    }
};

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

// Reads every block in use through the encryption: a block that fails its authentication is
// damage the file-system check cannot see. Answers false and adds lines when there is some.
bool checkEncryptedBlocks(const QString &image, QStringList &lines)
{
    lines << QStringLiteral("Checking the encrypted layer");
    try {
        const BlockMap map = readBlockMap(image);
        QFile file(image);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            throw Error{QStringLiteral("cannot read the image")};
        QByteArray buffer(1024 * 1024, Qt::Uninitialized);
        int damaged = 0;
        const QList<BlockRange> ranges = usedRanges(map);
        qint64 total = 0, before = 0;
        for (const BlockRange &used : ranges)
            total += (used.last - used.first + 1) * map.blockSize;
        const QString stage = QStringLiteral("Checking the encrypted data");
        // As it reads: a stretch in use can be the whole vault.
        const auto show = [&](qint64 checked) {
            Tool::stopIfAsked();
            Tool::reportProgress(verifiedShare + int((100 - verifiedShare) * checked / std::max<qint64>(total, 1)),
                                 stage);
        };
        show(0);
        for (const BlockRange &used : ranges) {
            const qint64 start = used.first * map.blockSize;
            const qint64 end = (used.last + 1) * map.blockSize;
            // After a long read failed, its stretch is read again a block at a time, so that
            // each damaged block is counted once.
            qint64 blockwiseUntil = 0;
            for (qint64 at = start; at < end;) {
                show(before + at - start);
                // A read stops short at a block that fails its authentication; the next read
                // from there reports the error.
                const qint64 want = at < blockwiseUntil ? plainBlock - at % plainBlock : buffer.size();
                const ssize_t length =
                    pread(file.handle(), buffer.data(), size_t(std::min<qint64>(want, end - at)), at);
                if (length > 0) {
                    at += length;
                    continue;
                }
                if (length == 0)
                    break;
                if (at >= blockwiseUntil) {
                    blockwiseUntil = at + buffer.size();
                    continue;
                }
                if (++damaged <= 3)
                    lines << QStringLiteral("Encrypted data at offset %1 cannot be decrypted: it is damaged")
                                 .arg(at);
                at = (at / plainBlock + 1) * plainBlock;
            }
            before += end - start;
        }
        show(total);
        if (damaged > 3)
            lines << QStringLiteral("%1 more damaged regions").arg(damaged - 3);
        return damaged == 0;
    } catch (const Error &error) {
        if (error.status == Tool::statusStopped)
            throw;
        lines << error.message;
        return false;
    }
}

} // namespace

QString complaint(const QByteArray &output)
{
    QStringList paragraph;
    for (const QByteArray &rawLine : output.trimmed().split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty())
            paragraph.clear();
        else if (!line.startsWith(QLatin1String("e2fsck ")) && line != QLatin1String("or"))
            paragraph.append(line);
    }
    QString text = paragraph.join(QLatin1Char(' '));
    const qsizetype advice = text.indexOf(QLatin1String(", and you might try"));
    if (advice > 0)
        text = text.left(advice) + QLatin1Char('.');
    if (text.endsWith(QLatin1Char(':')))
        text.chop(1);
    return text;
}

std::optional<Repair> checkAndRepair(const QString &bundle, const QString &image, bool force)
{
    // A forced check reads the whole file system, which takes a while: it says how far it is.
    QStringList quick{QStringLiteral("-p")};
    Tool::LineObserver observer;
    if (force) {
        quick << QStringLiteral("-f") << QStringLiteral("-C") << QStringLiteral("1");
        observer = CheckProgress::reporter(checkedShare);
    }
    Tool::HelperResult preen =
        Tool::runHelper(Tool::helper(QStringLiteral("e2fsck")), quick << image, {}, false, observer);
    preen.output = CheckProgress::withoutProgress(preen.output);
    // e2fsck's statuses: 0 clean, 1 and 2 repaired, 4 and up errors left or a failure.
    if (preen.status < 4) {
        const qsizetype fixes = preenFixes(preen.output);
        if (fixes == 0)
            return std::nullopt;
        return Repair{preen.output, QStringLiteral("The vault was not locked cleanly, so its file system was "
                                                   "repaired (%1 problems fixed).")
                                        .arg(fixes)};
    }
    Repair repair;
    repair.log = preen.output;
    const Tool::HelperResult full = runCheck(bundle, image, {QStringLiteral("-f"), QStringLiteral("-y")});
    repair.log += full.output;
    if (full.status >= 4)
        throw Error{
            QStringLiteral("The file system inside the vault is damaged and could not be repaired: ") +
                complaint(full.output),
            1, true};
    const qsizetype fixes = repair.log.count("? yes") + preenFixes(preen.output);
    const qsizetype rescued = repair.log.count("Connect to /lost+found? yes");
    repair.summary = QStringLiteral("The vault was not locked cleanly, so its file system was repaired "
                                    "(%1 problems fixed")
                         .arg(fixes);
    if (rescued > 0)
        repair.summary += QStringLiteral(", %1 files put in lost+found").arg(rescued);
    repair.summary += QStringLiteral(").");
    return repair;
}

void prepareFileSystem(const QString &image)
{
    const QString owner = QString::number(getuid()), group = QString::number(getgid());
    const QByteArray commands = QStringLiteral("ssv r_blocks_count 1\n"
                                               "sif lost+found uid %1\nsif lost+found gid %2\n")
                                    .arg(owner, group)
                                    .toUtf8();
    Tool::runHelper(Tool::helper(QStringLiteral("debugfs")),
                    {QStringLiteral("-w"), QStringLiteral("-f"), QStringLiteral("-"), image}, commands);
}

LastBlockList::LastBlockList(qint64 imageBytes)
    : m_file(MountTable::privateTemporaryFolder() + QStringLiteral("/last-block-XXXXXX"))
{
    if (!m_file.open() || m_file.write(QByteArray::number(imageBytes / blockSize - 1) + '\n') < 0 || !m_file.flush())
        throw Error{QStringLiteral("cannot write a temporary file")};
}

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

int checkFileSystem(const QString &bundle, const QString &image, bool repair, QStringList &lines)
{
    lines << QStringLiteral("Checking file system");
    Tool::reportProgress(0, QStringLiteral("Checking files and their blocks"));
    // A check that only reads may be cut short; a repair runs to its end.
    std::optional<Tool::HelpersMayStop> stoppable;
    if (!repair)
        stoppable.emplace();
    const Tool::HelperResult check =
        runCheck(bundle, image,
                 {QStringLiteral("-f"), repair ? QStringLiteral("-y") : QStringLiteral("-n"), QStringLiteral("-C"),
                  QStringLiteral("1")},
                 CheckProgress::reporter(verifiedShare));
    stoppable.reset();
    for (const QByteArray &line : check.output.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty() && !CheckProgress::isProgress(line))
            lines << text;
    }
    // After the file system, whose repair may be what makes its block map readable.
    const bool encryptionIntact = checkEncryptedBlocks(image, lines);
    if (!encryptionIntact)
        lines << QStringLiteral("The encrypted layer is damaged: some data in the vault cannot be read.");
    // After a repair only what is left counts.
    const int status = repair && check.status < 4 ? 0 : check.status;
    return encryptionIntact ? status : (status | 4);
}

} // namespace VaultImage

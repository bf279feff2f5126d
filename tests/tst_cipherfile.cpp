#include "TestEnvironment.h"

#include "volume/CipherFile.h"
#include "volume/ContentCipher.h"
#include "volume/Journal.h"

#include <QRandomGenerator>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// The cipher layer on its own, without FUSE: the content encryption, a cipher file's plain view
// and its journal, against a plain model, over files in a scratch folder.
class TestCipherFile : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    std::unique_ptr<ContentCipher> m_cipher;

    // On a disk, not in the memory file system /tmp can be: what the host's cache holds matters.
    QTemporaryDir m_disk{u"/var/tmp/hollowkeep-test-XXXXXX"_s};

    [[nodiscard]] QString path(const QString &name) const { return m_disk.filePath(name); }
    // Out of the host's page cache, as memory pressure or an idle hour leaves a file.
    static bool evictFromHostCache(const QString &path)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        const bool evicted = fd >= 0 && ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
        if (fd >= 0)
            ::close(fd);
        return evicted;
    }
    // A cipher file over the file at that path, created when missing.
    std::unique_ptr<CipherFile> open(const QString &name, size_t cacheBytes = 1 << 20)
    {
        const int fd = ::open(QFile::encodeName(path(name)).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        return fd < 0 ? nullptr : std::make_unique<CipherFile>(fd, *m_cipher, cacheBytes);
    }
    static QByteArray readAt(CipherFile &file, off_t offset, size_t length)
    {
        QByteArray bytes(qsizetype(length), '\0');
        const ssize_t got = file.read(bytes.data(), length, offset);
        return got < 0 ? QByteArray("error ") + QByteArray::number(got) : bytes.left(got);
    }
    static bool writeAt(CipherFile &file, off_t offset, const QByteArray &bytes)
    {
        return file.write(bytes.constData(), size_t(bytes.size()), offset) == bytes.size();
    }
    // Flips one byte of the file as stored on the disk.
    bool flipStoredByte(const QString &name, off_t offset)
    {
        QFile stored(path(name));
        if (!stored.open(QIODevice::ReadWrite) || !stored.seek(offset))
            return false;
        char byte = 0;
        stored.getChar(&byte);
        stored.seek(offset);
        return stored.putChar(char(byte ^ 0x40));
    }

    static int pagesInHostCache(const QString &path)
    {
        QFile file(path);
        const qint64 size = file.size();
        uchar *map = file.open(QIODevice::ReadOnly) ? file.map(0, size) : nullptr;
        std::vector<unsigned char> resident(size_t((size + 4095) / 4096));
        if (!map || ::mincore(map, size_t(size), resident.data()) != 0)
            return -1;
        return int(std::count_if(resident.begin(), resident.end(), [](unsigned char page) { return page & 1; }));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_disk.isValid() && QStorageInfo(m_disk.path()).fileSystemType() != "tmpfs");
        const std::string config = TESTS_DATA_DIR "/cipher/gocryptfs.conf";
        ContentCipher::Unlocked wrong = ContentCipher::unlock(config, "not-it", 6);
        QCOMPARE(wrong.failure, ContentCipher::Failure::WrongPassword);
        QVERIFY(!wrong.cipher);
        QCOMPARE(ContentCipher::unlock(path(u"none.conf"_s).toStdString(), "x", 1).failure,
                 ContentCipher::Failure::Unreadable);
        // Encrypted names are another layout: refused, never guessed.
        QByteArray other = readAll(QStringLiteral(TESTS_DATA_DIR "/cipher/gocryptfs.conf"));
        other.replace("\"PlaintextNames\"", "\"EMENames\"");
        QVERIFY(writeAll(path(u"other.conf"_s), other));
        QCOMPARE(ContentCipher::unlock(path(u"other.conf"_s).toStdString(), "cipher-pass", 11).failure,
                 ContentCipher::Failure::Unsupported);
        ContentCipher::Unlocked right = ContentCipher::unlock(config, "cipher-pass", 11);
        QVERIFY2(right.cipher, right.message.c_str());
        m_cipher = std::move(right.cipher);
    }

    // A block opens only with its own number and file id and untouched bytes; the same plain
    // bytes never encrypt alike.
    void blocksAreBoundToTheirPlace()
    {
        const QByteArray plain(int(ContentCipher::plainBlock), 'p');
        const uint8_t id[ContentCipher::fileIdSize] = {1, 2, 3};
        const uint8_t otherId[ContentCipher::fileIdSize] = {1, 2, 4};
        QByteArray first(int(ContentCipher::cipherBlock), '\0'), second = first;
        const auto bytes = [](QByteArray &array) { return reinterpret_cast<uint8_t *>(array.data()); };
        QVERIFY(m_cipher->encrypt(bytes(const_cast<QByteArray &>(plain)), plain.size(), 7, id, bytes(first)));
        QVERIFY(m_cipher->encrypt(bytes(const_cast<QByteArray &>(plain)), plain.size(), 7, id, bytes(second)));
        QVERIFY(first != second);
        QByteArray out(plain.size(), '\0');
        QVERIFY(m_cipher->decrypt(bytes(first), first.size(), 7, id, bytes(out)));
        QCOMPARE(out, plain);
        QVERIFY(!m_cipher->decrypt(bytes(first), first.size(), 8, id, bytes(out)));
        QVERIFY(!m_cipher->decrypt(bytes(first), first.size(), 7, otherId, bytes(out)));
        first[100] = char(first[100] ^ 1);
        QVERIFY(!m_cipher->decrypt(bytes(first), first.size(), 7, id, bytes(out)));
        // A short last block carries its own length.
        QByteArray shortBlock(int(10 + ContentCipher::overhead), '\0');
        QVERIFY(m_cipher->encrypt(bytes(const_cast<QByteArray &>(plain)), 10, 0, id, bytes(shortBlock)));
        QVERIFY(m_cipher->decrypt(bytes(shortBlock), shortBlock.size(), 0, id, bytes(out)));
        QCOMPARE(out.left(10), plain.left(10));
    }

    // Writes, overwrites and truncations anywhere, through a cache smaller than the file, read back
    // as a plain model has them, also after the file is opened again.
    void randomWritesMatchAPlainModel()
    {
        QRandomGenerator random(20261207);
        QByteArray model;
        constexpr qsizetype longRead = 32 * ContentCipher::plainBlock;
        qsizetype cursor = 0;
        {
            std::unique_ptr<CipherFile> file = open(u"random"_s, 8 * ContentCipher::plainBlock);
            QVERIFY(file && file->status() == 0);
            for (int step = 0; step < 400; ++step) {
                const off_t offset = random.bounded(300000);
                if (random.bounded(10) == 0) {
                    QCOMPARE(file->truncate(offset), 0);
                    model.resize(offset, '\0');
                } else {
                    QByteArray bytes(random.bounded(1, 20000), '\0');
                    for (char &byte : bytes)
                        byte = char(random.bounded(256));
                    QVERIFY(writeAt(*file, offset, bytes));
                    if (model.size() < offset + bytes.size())
                        model.resize(offset + bytes.size(), '\0');
                    model.replace(offset, bytes.size(), bytes);
                }
                QCOMPARE(file->size(), off_t(model.size()));
                const off_t at = random.bounded(qMax<qsizetype>(1, model.size()));
                QCOMPARE(readAt(*file, at, 9000), model.mid(at, 9000));
                // Long reads of what left the host's cache go past it and read ahead of a
                // sequential reader: nothing read ahead may outlive the blocks written back since.
                QVERIFY(step % 2 == 0 || evictFromHostCache(path(u"random"_s)));
                QCOMPARE(readAt(*file, cursor, longRead), model.mid(cursor, longRead));
                cursor = cursor + longRead < model.size() ? cursor + longRead : 0;
            }
            QCOMPARE(file->flush(), 0);
        }
        std::unique_ptr<CipherFile> again = open(u"random"_s);
        QCOMPARE(again->size(), off_t(model.size()));
        // Read from the disk, the file stays out of the host's cache: it is cached once, as plain text.
        QVERIFY(evictFromHostCache(path(u"random"_s)));
        QCOMPARE(readAt(*again, 0, size_t(model.size())), model);
        QCOMPARE(pagesInHostCache(path(u"random"_s)), 0);
        // Stored as header and blocks of plain size plus overhead.
        const qint64 blocks = (model.size() + ContentCipher::plainBlock - 1) / ContentCipher::plainBlock;
        QCOMPARE(QFileInfo(path(u"random"_s)).size(),
                 qint64(ContentCipher::headerSize) + model.size() + blocks * qint64(ContentCipher::overhead));
    }

    // A damaged block reads as an error; the blocks around it still read.
    void aDamagedBlockIsAnErrorNotData()
    {
        {
            std::unique_ptr<CipherFile> file = open(u"damaged"_s);
            QVERIFY(writeAt(*file, 0, QByteArray(3 * ContentCipher::plainBlock, 'd')));
            QCOMPARE(file->flush(), 0);
        }
        QVERIFY(flipStoredByte(u"damaged"_s, ContentCipher::headerSize + ContentCipher::cipherBlock + 50));
        std::unique_ptr<CipherFile> file = open(u"damaged"_s);
        QCOMPARE(readAt(*file, 0, 100), QByteArray(100, 'd'));
        QCOMPARE(readAt(*file, ContentCipher::plainBlock + 10, 100), QByteArray("error ") + QByteArray::number(-EIO));
        QCOMPARE(readAt(*file, 2 * ContentCipher::plainBlock, 100), QByteArray(100, 'd'));
    }

    // Committed transactions survive a process that ends without putting them in place: the next
    // one replays them whole. A record torn at its end is left out, with what it wrote in place.
    void theJournalKeepsWhatWasCommitted()
    {
        const QString journal = path(u"image.journal"_s);
        CipherFile::Recovery recovery;
        const QByteArray first(2 * ContentCipher::plainBlock, 'a');
        const QByteArray second(ContentCipher::plainBlock, 'b');
        QByteArray imageBytes, journalBytes, journalBefore;
        {
            std::unique_ptr<CipherFile> file = open(u"image"_s);
            QCOMPARE(file->keepJournal(journal.toStdString(), false, recovery), 0);
            // As the volume commits: only at consistent points, every block through the journal.
            file->setPlacement([](uint64_t) { return CipherFile::Placement::Journal; });
            // An image has its full size from the start; the journal carries blocks, not sizes.
            QCOMPARE(file->truncate(off_t(first.size())), 0);
            QCOMPARE(file->sync(), 0);
            QVERIFY(writeAt(*file, 0, first));
            QCOMPARE(file->commit(), 0);
            QCOMPARE(file->sync(), 0);
            journalBefore = readAll(journal);
            QVERIFY(writeAt(*file, ContentCipher::plainBlock, second));
            QCOMPARE(file->commit(), 0);
            QCOMPARE(file->sync(), 0);
            imageBytes = readAll(path(u"image"_s));
            journalBytes = readAll(journal);
            QVERIFY(file->holdsJournal());
        }
        // The process ended here, before any checkpoint: what the disk held then comes back.
        QVERIFY(writeAll(path(u"image"_s), imageBytes) && writeAll(journal, journalBytes));
        // The image alone holds none of it.
        QVERIFY(writeAll(path(u"image-alone"_s), imageBytes));
        QVERIFY(readAt(*open(u"image-alone"_s), 0, ContentCipher::plainBlock) != first.left(ContentCipher::plainBlock));
        {
            std::unique_ptr<CipherFile> file = open(u"image"_s);
            QCOMPARE(file->keepJournal(journal.toStdString(), false, recovery), 0);
            // Each sync closed with a mark record: two changes, two marks.
            QCOMPARE(recovery.replayed, size_t(4));
            QCOMPARE(recovery.discarded, size_t(0));
            QCOMPARE(readAt(*file, 0, 2 * ContentCipher::plainBlock), first.left(ContentCipher::plainBlock) + second);
        }

        // The second change is torn, as a power cut during its write leaves it: a chunk past its
        // start is not what was written.
        qsizetype start = 0;
        while (start < journalBefore.size() && journalBefore[start] == journalBytes[start])
            ++start;
        QVERIFY(start > 4096 && start < journalBytes.size() - qsizetype(ContentCipher::cipherBlock));
        QByteArray torn = journalBytes;
        torn[start + ContentCipher::cipherBlock + 10] = char(torn[start + ContentCipher::cipherBlock + 10] ^ 1);
        QVERIFY(writeAll(journal, torn));
        QVERIFY(writeAll(path(u"image"_s), imageBytes));
        recovery = {};
        std::unique_ptr<CipherFile> file = open(u"image"_s);
        QCOMPARE(file->keepJournal(journal.toStdString(), true, recovery), 0);
        QCOMPARE(recovery.replayed, size_t(2));
        QCOMPARE(readAt(*file, 0, 2 * ContentCipher::plainBlock), first);
    }

    // Records of any size go to the disk in whole pages: appending never makes the host read back
    // a page of the journal that left its cache, and every record still reads back after a reopen.
    void journalPagesAreNeverReadBack()
    {
        const QString journalPath = path(u"paged.journal"_s);
        std::unique_ptr<Journal> journal;
        std::vector<Journal::Transaction> left;
        QCOMPARE(Journal::open(journalPath.toStdString(), *m_cipher, false, journal, left), 0);
        const auto bytesReadFromDisk = [] {
            const QByteArray io = readAll(u"/proc/self/io"_s);
            const qsizetype at = io.indexOf("read_bytes: ");
            return io.mid(at + 12, io.indexOf('\n', at) - at - 12).toLongLong();
        };
        QList<QByteArray> appended;
        for (const int size : {100, 5000, 1, 4040, 9000, 20000, 3}) {
            QCOMPARE(journal->sync(), 0);
            QVERIFY(evictFromHostCache(journalPath));
            const qint64 before = bytesReadFromDisk();
            appended << QByteArray(size, char('a' + appended.size()));
            const auto *bytes = reinterpret_cast<const uint8_t *>(appended.last().constData());
            Journal::Transaction transaction;
            for (int at = 0; at < size; at += 4096)
                transaction.addPiece(uint64_t(at / 4096), 0, bytes + at, size_t(std::min(size - at, 4096)));
            QCOMPARE(journal->append(transaction), 0);
            QCOMPARE(bytesReadFromDisk() - before, 0);
        }
        QCOMPARE(journal->sync(), 0);
        QCOMPARE(Journal::open(journalPath.toStdString(), *m_cipher, false, journal, left), 0);
        QCOMPARE(left.size(), size_t(appended.size()));
        std::vector<Journal::Transaction::Entry> entries;
        for (size_t i = 0; i < left.size(); ++i) {
            QVERIFY(left[i].entries(entries));
            QByteArray found;
            for (const Journal::Transaction::Entry &entry : entries)
                found += QByteArray(reinterpret_cast<const char *>(entry.bytes), entry.length);
            QCOMPARE(found, appended[qsizetype(i)]);
        }
    }

    // The list of changes in a transaction reads back as written; a cut-off list does not read.
    void transactionsListTheirChanges()
    {
        const QByteArray plain(ContentCipher::plainBlock, 'x');
        const uint8_t nonce[ContentCipher::nonceSize] = {9, 9, 9};
        Journal::Transaction transaction;
        transaction.addBlock(5, reinterpret_cast<const uint8_t *>(plain.constData()), size_t(plain.size()));
        transaction.addPiece(5, 100, reinterpret_cast<const uint8_t *>("abc"), 3);
        transaction.addInPlace(6, nonce);
        transaction.addDurableBefore();
        std::vector<Journal::Transaction::Entry> entries;
        QVERIFY(transaction.entries(entries));
        QCOMPARE(entries.size(), size_t(4));
        QCOMPARE(entries[0].kind, Journal::Transaction::Kind::Block);
        QCOMPARE(entries[0].block, uint64_t(5));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(entries[0].bytes), entries[0].length), plain);
        QCOMPARE(entries[1].kind, Journal::Transaction::Kind::Piece);
        QCOMPARE(entries[1].offset, uint16_t(100));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(entries[1].bytes), entries[1].length), "abc"_ba);
        QCOMPARE(entries[2].kind, Journal::Transaction::Kind::InPlace);
        QCOMPARE(entries[2].bytes[0], uint8_t(9));
        QCOMPARE(entries[3].kind, Journal::Transaction::Kind::DurableBefore);

        std::vector<uint8_t> cut = transaction.bytes();
        cut.resize(cut.size() / 2);
        QVERIFY(!Journal::Transaction(cut).entries(entries));
    }
};

QTEST_GUILESS_MAIN(TestCipherFile)
#include "tst_cipherfile.moc"

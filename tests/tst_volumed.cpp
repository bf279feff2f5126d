#include "ToolHarness.h"

#include <QCryptographicHash>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/falloc.h>
#include <random>
#include <sys/xattr.h>
#include <unistd.h>

// The volume daemon on real vaults: random operations against a plain folder, damage in the
// ciphertext, the same vault through gocryptfs + fuse2fs and back, and load tools.
class TestVolumed : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "daemon-pass";

    static QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

    // Everything a user sees of a tree: names, kinds, permissions, link counts, sizes, contents,
    // link targets and extended attributes.
    static QStringList describe(const QString &root)
    {
        QStringList lines;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString name = path.mid(root.size());
            if (name == "/lost+found"_L1)
                continue;
            struct stat st;
            if (lstat(encoded(path).constData(), &st) != 0) {
                lines << name + u" unreadable"_s;
                continue;
            }
            QString line = u"%1 mode %2 links %3"_s.arg(name).arg(st.st_mode, 0, 8).arg(S_ISDIR(st.st_mode) ? 0 : st.st_nlink);
            if (S_ISREG(st.st_mode)) {
                // Large files by their first and last megabyte.
                QFile file(path);
                const qint64 piece = 1 << 20;
                bool read = file.open(QIODevice::ReadOnly);
                QByteArray bytes = read ? file.read(st.st_size > 64 * piece ? piece : st.st_size) : QByteArray();
                if (read && st.st_size > 64 * piece && (read = file.seek(st.st_size - piece)))
                    bytes += file.read(piece);
                line += u" size %1 %2"_s.arg(st.st_size).arg(
                    read && file.error() == QFile::NoError
                        ? QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())
                        : u"read error"_s);
            } else if (S_ISLNK(st.st_mode)) {
                line += u" -> "_s + QFileInfo(path).symLinkTarget().mid(root.size());
            }
            char names[4096];
            const ssize_t length = llistxattr(encoded(path).constData(), names, sizeof names);
            QStringList attributes;
            for (ssize_t at = 0; at < length; at += ssize_t(strlen(names + at)) + 1) {
                char value[1024];
                const ssize_t size = lgetxattr(encoded(path).constData(), names + at, value, sizeof value);
                attributes << QString::fromUtf8(names + at) + u"="_s + QString::fromLatin1(QByteArray(value, int(std::max<ssize_t>(size, 0))).toHex());
            }
            attributes.sort();
            if (!attributes.isEmpty())
                line += u" xattrs "_s + attributes.join(u","_s);
            lines << line;
        }
        lines.sort();
        return lines;
    }

    static QString imageOf(const QString &bundle) { return bundle + u"/cipher/disk.img"_s; }

    // Opens the decrypted view of a locked vault with the daemon itself, for the e2fsprogs tools.
    QString openView(const QString &bundle)
    {
        const QString view = m_env.root() + u"/view"_s;
        QDir().mkpath(view);
        const ToolRun run = runTool(u"volumed"_s, {bundle + u"/cipher"_s, view}, m_password + '\n');
        return run.status == 0 ? view : QString();
    }

private Q_SLOTS:
    void cleanup() { detachAndExpectNothingLeft(m_env.root()); }

    // A model-based random test: the same seeded operations on the vault and on a plain folder
    // answer the same, and leave the same tree, also after every remount. Replay a failure with
    // HOLLOWKEEP_RANDOM_SEED.
    void randomOperationsMatchAPlainFolder()
    {
        std::mt19937_64 random(randomSeed());
        const auto pick = [&](int count) { return int(random() % quint64(count)); };

        const QString bundle = m_env.home() + u"/Model.sparsebundle"_s;
        QString vault = attachNewVault(bundle, m_password, 256);
        QVERIFY(!vault.isEmpty());
        const QString reference = m_env.root() + u"/reference"_s;
        QVERIFY(QDir().mkpath(reference));

        const QStringList folders{QString(), u"/a"_s, u"/b"_s, u"/a/c"_s};
        const auto anyFolder = [&] { return folders[pick(folders.size())]; };
        const auto anyName = [&] {
            // Now and then a name of the longest length a name may have.
            const QString name = pick(20) == 0 ? QString(255 - 1, QLatin1Char('n')) + QString::number(pick(10))
                                               : u"f%1"_s.arg(pick(8));
            return anyFolder() + u"/"_s + name;
        };
        const int operations = 3000;
        const int remountEvery = 500;
        int errorsSeen = 0;
        for (int step = 1; step <= operations; ++step) {
            const int kind = pick(12);
            QString detail;
            // The same call on both trees, answering 0 or an errno.
            const auto both = [&](const std::function<int(const QString &root)> &call) {
                errno = 0;
                const int inVault = call(vault) == 0 ? 0 : errno;
                errno = 0;
                const int inReference = call(reference) == 0 ? 0 : errno;
                errorsSeen += inVault != 0 ? 1 : 0;
                QVERIFY2(inVault == inReference,
                         qPrintable(u"step %1 (%2): vault %3, plain folder %4"_s.arg(step).arg(detail).arg(
                             QString::fromLocal8Bit(strerror(inVault)), QString::fromLocal8Bit(strerror(inReference)))));
            };
            // Every step draws a file name, another one and a folder below the root, used or not.
            const QString name = anyName(), other = anyName(), folder = folders[1 + pick(folders.size() - 1)];
            if (kind <= 2) {
                const qint64 offset = pick(4) == 0 ? pick(6 * 1024 * 1024) : pick(256 * 1024);
                QByteArray bytes(1 + pick(96 * 1024), Qt::Uninitialized);
                for (char &byte : bytes)
                    byte = char(random());
                detail = u"write %1 bytes at %2 to %3"_s.arg(bytes.size()).arg(offset).arg(name);
                both([&](const QString &root) {
                    const int fd = ::open(encoded(root + name).constData(), O_WRONLY | O_CREAT, 0644);
                    if (fd < 0)
                        return -1;
                    const ssize_t written = pwrite(fd, bytes.constData(), size_t(bytes.size()), offset);
                    const int error = errno;
                    ::close(fd);
                    errno = error;
                    return written == bytes.size() ? 0 : -1;
                });
            } else if (kind == 3) {
                const qint64 size = pick(300 * 1024);
                detail = u"truncate %1 to %2"_s.arg(name).arg(size);
                both([&](const QString &root) { return ::truncate(encoded(root + name).constData(), size); });
            } else if (kind == 4) {
                // Folders too, into each other, but never onto the root, which is a mount point.
                const QString from = pick(3) == 0 ? folder : name;
                const QString to = pick(3) == 0 ? folders[1 + pick(folders.size() - 1)] : other;
                detail = u"rename %1 to %2"_s.arg(from, to);
                both([&](const QString &root) {
                    return ::rename(encoded(root + from).constData(), encoded(root + to).constData());
                });
            } else if (kind == 5) {
                detail = u"link %1 to %2"_s.arg(name, other);
                both([&](const QString &root) {
                    return ::link(encoded(root + name).constData(), encoded(root + other).constData());
                });
            } else if (kind == 6) {
                detail = u"unlink "_s + name;
                both([&](const QString &root) { return ::unlink(encoded(root + name).constData()); });
            } else if (kind == 7) {
                detail = u"mkdir "_s + folder;
                both([&](const QString &root) { return ::mkdir(encoded(root + folder).constData(), 0755); });
            } else if (kind == 8) {
                detail = u"rmdir "_s + folder;
                both([&](const QString &root) { return ::rmdir(encoded(root + folder).constData()); });
            } else if (kind == 9) {
                const QByteArray key = "user.k" + QByteArray::number(pick(3));
                const QByteArray value = QByteArray::number(quint64(random()));
                const bool remove = pick(3) == 0;
                detail = u"%1 %2 on %3"_s.arg(remove ? u"removexattr"_s : u"setxattr"_s, QString::fromLatin1(key), name);
                both([&](const QString &root) {
                    return remove ? lremovexattr(encoded(root + name).constData(), key.constData())
                                  : lsetxattr(encoded(root + name).constData(), key.constData(), value.constData(),
                                              size_t(value.size()), 0);
                });
            } else if (kind == 10) {
                const mode_t mode = QList<mode_t>{0600, 0644, 0640, 0755}[pick(4)];
                detail = u"chmod %1 %2"_s.arg(mode, 0, 8).arg(name);
                both([&](const QString &root) { return ::chmod(encoded(root + name).constData(), mode); });
            } else {
                const QString target = u"target-%1"_s.arg(pick(4));
                detail = u"symlink %1 to %2"_s.arg(name, target);
                both([&](const QString &root) {
                    return ::symlink(encoded(target).constData(), encoded(root + name).constData());
                });
            }
            if (QTest::currentTestFailed())
                return;
            if (step % remountEvery == 0) {
                QCOMPARE(describe(vault), describe(reference));
                QCOMPARE(detachVault(vault).status, 0);
                vault = attachVault(bundle, m_password);
                QVERIFY(!vault.isEmpty());
                QCOMPARE(describe(vault), describe(reference));
            }
        }
        QVERIFY(errorsSeen > 0); // the names collide often enough to try the error paths too
        QCOMPARE(detachVault(vault).status, 0);
        VERIFY_SOUND(bundle, m_password);
    }

    // A folder of thousands of names spans many blocks: names go after the last one, into gaps
    // that deletes left, and into new blocks; after renames and a remount every name leads to its
    // own file and the volume checks clean.
    void aFolderOfThousandsOfNames()
    {
        const QString bundle = m_env.home() + u"/Names.sparsebundle"_s;
        QString vault = attachNewVault(bundle, m_password, 128);
        QVERIFY(!vault.isEmpty());
        std::map<QString, QByteArray> expected;
        // Names of many lengths, so that blocks fill unevenly.
        const auto nameOf = [](int i) { return u"n%1-"_s.arg(i) + QString(i % 97, u'x'); };
        for (int i = 0; i < 2500; ++i) {
            QVERIFY(writeAll(vault + u"/"_s + nameOf(i), QByteArray::number(i)));
            expected[nameOf(i)] = QByteArray::number(i);
        }
        for (int i = 0; i < 2500; i += 3) {
            QCOMPARE(::unlink(QFile::encodeName(vault + u"/"_s + nameOf(i)).constData()), 0);
            expected.erase(nameOf(i));
        }
        for (int i = 2500; i < 3300; ++i) {
            QVERIFY(writeAll(vault + u"/"_s + nameOf(i), QByteArray::number(i)));
            expected[nameOf(i)] = QByteArray::number(i);
        }
        for (int i = 1; i < 600; i += 6) { // names the deletes left
            const QString to = u"renamed-%1"_s.arg(i);
            QCOMPARE(::rename(QFile::encodeName(vault + u"/"_s + nameOf(i)).constData(),
                              QFile::encodeName(vault + u"/"_s + to).constData()), 0);
            expected[to] = expected[nameOf(i)];
            expected.erase(nameOf(i));
        }
        QCOMPARE(detachVault(vault).status, 0);
        vault = attachVault(bundle, m_password);
        QStringList names = QDir(vault).entryList(QDir::Files);
        QCOMPARE(qsizetype(names.size()), qsizetype(expected.size()));
        for (const auto &[name, content] : expected)
            QVERIFY2(readAll(vault + u"/"_s + name) == content, qPrintable(name));
        QCOMPARE(detachVault(vault).status, 0);
        VERIFY_SOUND(bundle, m_password);
    }

    // Saving over a file leaves nothing of the old one (open with O_TRUNC, as editors and cp do), and
    // preallocating, punching and writing one file keeps its block count right: the volume checks
    // clean and the file can still be cut.
    void overwritesAndPreallocationKeepFilesRight()
    {
        const QString bundle = m_env.home() + u"/Edits.sparsebundle"_s;
        const QString vault = attachNewVault(bundle, m_password);
        QVERIFY(writeAll(vault + u"/note"_s, "hello world\n") && writeAll(vault + u"/note"_s, "hi\n"));
        QCOMPARE(readAll(vault + u"/note"_s), QByteArray("hi\n"));
        QVERIFY(writeAll(vault + u"/long"_s, QByteArray(300000, 'l')) && writeAll(m_env.root() + u"/short"_s, "short"));
        QCOMPARE(QProcess::execute(u"cp"_s, {m_env.root() + u"/short"_s, vault + u"/long"_s}), 0);
        QCOMPARE(readAll(vault + u"/long"_s), QByteArray("short"));

        const int fd = ::open(encoded(vault + u"/sparse"_s).constData(), O_RDWR | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        QByteArray expected(1 << 20, '\0');
        const QByteArray data(100000, 'd');
        QCOMPARE(::fallocate(fd, 0, 0, 1 << 20), 0);
        QCOMPARE(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 65536, 262144), 0);
        QCOMPARE(::pwrite(fd, data.constData(), size_t(data.size()), 300000), ssize_t(data.size()));
        expected.replace(300000, data.size(), data);
        QCOMPARE(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 320000, 50000), 0);
        expected.replace(320000, 50000, QByteArray(50000, '\0'));
        QCOMPARE(::fallocate(fd, FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, 200000, 150000), 0);
        expected.replace(200000, 150000, QByteArray(150000, '\0'));
        QCOMPARE(::fallocate(fd, FALLOC_FL_KEEP_SIZE, 2 << 20, 1 << 20), 0);
        QCOMPARE(::fsync(fd), 0);
        QCOMPARE(::ftruncate(fd, 700000), 0);
        ::close(fd);
        expected.truncate(700000);
        QCOMPARE(readAll(vault + u"/sparse"_s), expected);
        QCOMPARE(detachVault(vault).status, 0);
        VERIFY_SOUND(bundle, m_password);
    }

    // A changed byte in the ciphertext of a file's block makes reading that file fail, never
    // return a short or zeroed copy. (Before, the decrypted view of the locked vault is checked.)
    void damagedBlockGivesReadError()
    {
        const QString bundle = m_env.home() + u"/Flip.sparsebundle"_s;
        QString vault = attachNewVault(bundle, m_password);
        QVERIFY(writeAll(vault + u"/victim.bin"_s, QByteArray(512 * 1024, 'v')));
        const qint64 size = QStorageInfo(vault).blockSize(); // of the file system inside
        QCOMPARE(detachVault(vault).status, 0);

        // The decrypted view, the daemon's own: a file there grown from a short last block and cut
        // in the middle of one reads back the same through gocryptfs.
        const QString view = openView(bundle);
        QVERIFY(!view.isEmpty());
        QByteArray expected = "a short start";
        QVERIFY(writeAll(view + u"/notes"_s, expected));
        QFile notes(view + u"/notes"_s);
        QVERIFY(notes.open(QIODevice::ReadWrite | QIODevice::Append));
        QCOMPARE(notes.write(QByteArray(5000, 'm')), 5000);
        notes.close();
        QVERIFY(notes.open(QIODevice::ReadWrite) && notes.resize(6000) && notes.seek(5990));
        QCOMPARE(notes.write("0123456789+"), 11);
        notes.close();
        expected = (expected + QByteArray(5000, 'm') + QByteArray(6000, '\0')).left(5990) + "0123456789+";
        QCOMPARE(readAll(view + u"/notes"_s), expected);
        // Where the file's fourth block lies in the image.
        QProcess debugfs;
        debugfs.start(u"/usr/sbin/debugfs"_s, {u"-R"_s, u"bmap /victim.bin 3"_s, view + u"/disk.img"_s});
        QVERIFY(debugfs.waitForFinished());
        const qint64 physical = debugfs.readAllStandardOutput().trimmed().toLongLong();
        QCOMPARE(QProcess::execute(u"fusermount3"_s, {u"-u"_s, view}), 0);
        QVERIFY(physical > 0 && size >= 4096);
        QTest::qWait(300);
        QVERIFY(openWithGocryptfs(bundle, view, m_password));
        QCOMPARE(readAll(view + u"/notes"_s), expected);
        QCOMPARE(QProcess::execute(u"fusermount3"_s, {u"-u"_s, view}), 0);

        QFile image(imageOf(bundle));
        const qint64 at = 18 + physical * size / 4096 * 4128 + 16 + 1000;
        QVERIFY(image.open(QIODevice::ReadWrite) && image.seek(at));
        char byte = 0;
        QVERIFY(image.getChar(&byte) && image.seek(at) && image.putChar(char(byte ^ 0x40)));
        image.close();

        vault = attachVault(bundle, m_password);
        QVERIFY(!vault.isEmpty());
        const int copied = QProcess::execute(u"cp"_s, {vault + u"/victim.bin"_s, m_env.root() + u"/copy.bin"_s});
        QVERIFY(copied != 0);
        QFile victim(vault + u"/victim.bin"_s);
        QVERIFY(victim.open(QIODevice::ReadOnly));
        char buffer[65536];
        qint64 total = 0, got = 0;
        while ((got = victim.read(buffer, sizeof buffer)) > 0)
            total += got;
        QCOMPARE(got, qint64(-1));
        QVERIFY(total < 512 * 1024);
    }

    // When the host disk refuses (no space for new blocks, no room in the journal, a write or a
    // sync that fails), the writer hears it at its write or its fsync at the latest unless the
    // data took another way to the disk (a block that cannot go in place goes through the
    // journal), a lock refuses and says why while the volume keeps everything, and once the disk
    // works again the lock succeeds with every file intact.
    void hostFailuresAreReportedAndLoseNothing_data()
    {
        QTest::addColumn<QByteArray>("rule");
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("lockRefusal"); // empty: the lock succeeds at once
        QTest::newRow("no room for new blocks") << "fallocate ENOSPC /disk.img"_ba << ENOSPC << QByteArray();
        QTest::newRow("no room in the journal") << "pwrite ENOSPC /.disk.img.journal"_ba << ENOSPC
                                                << "the disk holding the vault is full"_ba;
        QTest::newRow("a write in place fails") << "pwrite EIO /disk.img"_ba << 0 << "Input/output error"_ba;
        QTest::newRow("a sync fails") << "fdatasync EIO /disk.img"_ba << EIO << "Input/output error"_ba;
    }

    void hostFailuresAreReportedAndLoseNothing()
    {
        QFETCH(QByteArray, rule);
        QFETCH(int, error);
        QFETCH(QByteArray, lockRefusal);
        const QString bundle = m_env.home() + u"/Refused %1.sparsebundle"_s.arg(QTest::currentDataTag());
        QCOMPARE(createVault(bundle, u"Refused"_s, 64, m_password).status, 0);
        const QString rules = m_env.root() + u"/rules"_s;
        QVERIFY(writeAll(rules, {}));
        qputenv("LD_PRELOAD", HOST_IO_LIBRARY);
        qputenv("HOLLOWKEEP_HOST_IO_FAIL", encoded(rules));
        qputenv("HOLLOWKEEP_HOST_IO_WITHIN", encoded(QFileInfo(bundle).canonicalFilePath()));
        QString vault = attachVault(bundle, m_password);
        qunsetenv("LD_PRELOAD");
        QVERIFY(!vault.isEmpty());
        const QByteArray before(300000, 'b'), during(2 << 20, 'd');
        QVERIFY(writeSynced(vault + u"/before"_s, before));

        const int fd = ::open(encoded(vault + u"/during"_s).constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        QVERIFY(writeAll(rules, rule));
        // A write that cannot be kept whole stops short; the one after it says why.
        qsizetype written = 0;
        int writeError = 0;
        while (written < during.size() && !writeError) {
            const ssize_t put = ::write(fd, during.constData() + written, size_t(during.size() - written));
            written += put > 0 ? put : 0;
            writeError = put < 0 ? errno : 0;
        }
        const int syncError = ::fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        QCOMPARE(writeError ? writeError : syncError, error);

        const ToolRun lock = detachVault(vault);
        if (!lockRefusal.isEmpty()) {
            QVERIFY(lock.status != 0);
            QVERIFY2(lock.err.contains(lockRefusal), lock.err.constData());
            QVERIFY(fuseMountsBelow(m_env.home()).contains(vault));
            QVERIFY(writeAll(rules, {}));
            QCOMPARE(detachVault(vault).status, 0);
        } else {
            QCOMPARE(lock.status, 0);
        }
        vault = attachVault(bundle, m_password);
        QCOMPARE(readAll(vault + u"/before"_s), before);
        QCOMPARE(readAll(vault + u"/during"_s), during.left(written));
        QCOMPARE(detachVault(vault).status, 0);
        VERIFY_SOUND(bundle, m_password);
    }

    // The bundle format is shared: what the daemon writes opens with gocryptfs + fuse2fs and the
    // other way round, also after a password change.
    void sameVaultThroughBothEngines()
    {
        const QString bundle = m_env.home() + u"/Both.sparsebundle"_s;
        QString vault = attachNewVault(bundle, m_password, 128);
        QVERIFY(writeAll(vault + u"/from-daemon.txt"_s, "written by the daemon"));
        QVERIFY(QDir().mkpath(vault + u"/folder"_s));
        QVERIFY(QFile::link(u"../from-daemon.txt"_s, vault + u"/folder/link"_s));
        QCOMPARE(::link(encoded(vault + u"/from-daemon.txt"_s).constData(), encoded(vault + u"/hard"_s).constData()), 0);
        QCOMPARE(lsetxattr(encoded(vault + u"/from-daemon.txt"_s).constData(), "user.tag", "red", 3, 0), 0);
        // Larger than 4 GB, and sparse, with data past 4 GB.
        QVERIFY(writeAll(vault + u"/sparse"_s, "start"));
        QFile sparse(vault + u"/sparse"_s);
        QVERIFY(sparse.open(QIODevice::ReadWrite) && sparse.seek((5LL << 30) - 3) && sparse.write("end") == 3);
        sparse.close();
        const QStringList written = describe(vault);
        // A new volume name, which the daemon encrypts into a short file of the cipher folder.
        const QString newName = u"Both renamed with a longer name"_s;
        const ToolRun renamed = runTool(u"diskutil"_s, {u"rename"_s, vault, newName});
        QVERIFY2(renamed.status == 0, renamed.err.constData());
        vault = QFileInfo(vault).path() + u"/"_s + newName;
        QCOMPARE(detachVault(vault).status, 0);

        qputenv("HOLLOWKEEP_VOLUME_ENGINE", "fuse2fs");
        auto restore = qScopeGuard([] { qunsetenv("HOLLOWKEEP_VOLUME_ENGINE"); });
        vault = attachVault(bundle, m_password);
        QCOMPARE(QFileInfo(vault).fileName(), newName);
        QVERIFY(!processesOf(u"fuse2fs"_s, vault).isEmpty());
        QCOMPARE(describe(vault), written);
        QVERIFY(writeAll(vault + u"/from-fuse2fs.txt"_s, "written by fuse2fs"));
        const QStringList changed = describe(vault);
        QCOMPARE(detachVault(vault).status, 0);
        QCOMPARE(hdiutil({u"chpass"_s, u"-oldstdinpass"_s, u"-newstdinpass"_s, bundle}, m_password + '\0' + "renewed" + '\0').status, 0);
        qunsetenv("HOLLOWKEEP_VOLUME_ENGINE");

        vault = attachVault(bundle, "renewed");
        QVERIFY(!vault.isEmpty());
        QCOMPARE(volumeServer(vault) > 0 && processesOf(u"fuse2fs"_s, vault).isEmpty(), true);
        QCOMPARE(describe(vault), changed);
    }

    // Load tools that check what they wrote: fio with verification and stress-ng's disk workers,
    // for a bounded time, then a clean file system.
    void loadToolsVerifyTheirData()
    {
        const QString bundle = m_env.home() + u"/Load.sparsebundle"_s;
        const QString vault = attachNewVault(bundle, m_password, 1024);
        QProcess fio;
        fio.setProcessChannelMode(QProcess::MergedChannels);
        fio.start(u"fio"_s, {u"--name=verify"_s, u"--directory="_s + vault, u"--rw=randwrite"_s, u"--bs=4k"_s,
                             u"--size=32m"_s, u"--numjobs=2"_s, u"--verify=crc32c"_s, u"--do_verify=1"_s,
                             u"--ioengine=psync"_s, u"--fsync=64"_s});
        QVERIFY(fio.waitForFinished(300000));
        QVERIFY2(fio.exitCode() == 0, fio.readAll().right(2000).constData());
        QProcess stress;
        stress.setProcessChannelMode(QProcess::MergedChannels);
        stress.start(u"stress-ng"_s, {u"--hdd"_s, u"2"_s, u"--hdd-bytes"_s, u"24M"_s, u"--temp-path"_s, vault,
                                      u"--timeout"_s, u"8s"_s, u"--verify"_s, u"--metrics-brief"_s});
        QVERIFY(stress.waitForFinished(120000));
        QVERIFY2(stress.exitCode() == 0, stress.readAll().right(2000).constData());
        VERIFY_SOUND(vault);
    }
};

QTEST_GUILESS_MAIN(TestVolumed)
#include "tst_volumed.moc"

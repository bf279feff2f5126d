#include "ToolHarness.h"

#include <unistd.h>

// Creating, attaching and detaching vaults through the hdiutil command line.
class TestHdiutilLifecycle : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "lifecycle-pass";

    [[nodiscard]] QString vault(const QString &name) const { return m_env.home() + QLatin1Char('/') + name; }

private Q_SLOTS:
    void cleanup() { detachAndExpectNothingLeft(m_env.root()); }

    // A 4 GB vault takes almost nothing on the disk until files go in, and what its volume reports
    // in use is what its files take, not the file system's own tables.
    void createMakesASparseBundleThatCountsOnlyFiles()
    {
        const QString path = vault(u"Big.sparsebundle"_s);
        const ToolRun run = createVault(path, u"Big"_s, 4096, m_password);
        QCOMPARE(run.status, 0);
        QVERIFY(run.err.isEmpty());
        QVERIFY(QFile::exists(path + u"/cipher/gocryptfs.conf"_s));
        QVERIFY(readAll(path + u"/Info.plist"_s).simplified().contains("<key>size</key> <integer>4294967296</integer>"));
        const qint64 onDisk = diskUsageBytes(path);
        QVERIFY2(onDisk < 16 * 1024 * 1024, qPrintable(QString::number(onDisk)));
        // Nothing is left mounted after creation (nor running: see cleanup()).
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());

        const QString mountPoint = attachVault(path, m_password);
        const auto used = [&] {
            const QStorageInfo volume(mountPoint);
            return volume.bytesTotal() - volume.bytesFree();
        };
        const qint64 empty = used();
        QVERIFY2(empty >= 0 && empty < 1024 * 1024, qPrintable(QString::number(empty)));
        QVERIFY(writeSynced(mountPoint + u"/eight.bin"_s, QByteArray(8 * 1024 * 1024, 'x')));
        const qint64 grown = used() - empty;
        QVERIFY2(grown >= 8 * 1024 * 1024 && grown < 9 * 1024 * 1024, qPrintable(QString::number(grown)));
        QCOMPARE(detachVault(mountPoint).status, 0);
    }

    // Refused before anything is written: nothing is left, and a folder already there keeps what
    // it held.
    void createRefusesBadInputAndLeavesNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("sizeMB");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QString>("words");
        QTest::newRow("empty password") << "Empty.sparsebundle" << 64 << QByteArray() << "password is empty";
        QTest::newRow("line break") << "Break.sparsebundle" << 64 << QByteArray("two\nlines") << "line break";
        QTest::newRow("too small") << "Small.sparsebundle" << 8 << m_password << "between 16 MB and 4 TB";
        QTest::newRow("too large") << "Large.sparsebundle" << 5 * 1024 * 1024 << m_password
                                   << "between 16 MB and 4 TB";
        QTest::newRow("long name") << QString(250, QLatin1Char('n')) + ".sparsebundle" << 64 << m_password
                                   << "File name too long";
        QTest::newRow("existing folder") << "Existing.sparsebundle" << 64 << m_password << "File exists";
    }

    void createRefusesBadInputAndLeavesNothing()
    {
        QFETCH(QString, name);
        QFETCH(int, sizeMB);
        QFETCH(QByteArray, password);
        QFETCH(QString, words);
        const bool existing = words == "File exists"_L1;
        QVERIFY(!existing || writeAll(vault(name) + u"/keep.txt"_s, "precious"));
        const ToolRun run = createVault(vault(name), u"X"_s, sizeMB, password);
        QVERIFY(run.status != 0);
        QVERIFY2(QString::fromUtf8(run.err).contains(words), run.err.constData());
        QCOMPARE(QFileInfo::exists(vault(name)), existing);
        QCOMPARE(readAll(vault(name) + u"/keep.txt"_s), existing ? QByteArray("precious") : QByteArray());
    }

    // Wrong passwords are refused, also while the vault is attached; the right one mounts it where
    // its name says, for its owner only, and what was written there is back after a detach.
    void attachDetachKeepsData()
    {
        const QString path = vault(u"Notes.sparsebundle"_s);
        QCOMPARE(createVault(path, u"Notes"_s, 64, m_password).status, 0);
        const auto attachWithWrongPassword = [&](const QByteArray &wrong) {
            const ToolRun run = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, path}, wrong);
            QVERIFY(run.status != 0);
            QVERIFY2(run.err.contains("Authentication"), run.err.constData());
            QVERIFY(mountPointIn(run.out).isEmpty());
        };
        for (const QByteArray &wrong : {"wrong-pass"_ba, "lifecycle-pas"_ba, "lifecycle-pass\nx"_ba})
            attachWithWrongPassword(wrong);

        const ToolRun attach = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, path}, m_password);
        QCOMPARE(attach.status, 0);
        const QString mountPoint = mountPointIn(attach.out);
        QCOMPARE(mountPoint, m_env.home() + u"/Vaults/Notes"_s);
        // Only the owner may enter the volume, and everything in it is the owner's.
        QCOMPARE(modeOf(mountPoint), mode_t(0700));
        QCOMPARE(QFileInfo(mountPoint + u"/lost+found"_s).ownerId(), getuid());
        QVERIFY(writeAll(mountPoint + u"/letter.txt"_s, "Dear diary"));

        // info reads the kernel's table: the image and where it is mounted.
        const ToolRun info = hdiutil({u"info"_s, u"-plist"_s});
        QCOMPARE(info.status, 0);
        QVERIFY(info.out.contains(path.toUtf8()));
        QCOMPARE(mountPointIn(info.out), mountPoint);

        // Attaching again answers where it already is, after checking the password.
        attachWithWrongPassword("nope");
        QCOMPARE(attachVault(path, m_password), mountPoint);
        QCOMPARE(fuseMountsBelow(m_env.home()), QStringList{mountPoint});

        QCOMPARE(detachVault(mountPoint).status, 0);
        QVERIFY(!QFileInfo::exists(mountPoint));
        QVERIFY(!hdiutil({u"info"_s, u"-plist"_s}).out.contains("image-path"));

        const QString again = attachVault(path, m_password);
        QCOMPARE(again, mountPoint);
        QCOMPARE(readAll(again + u"/letter.txt"_s), QByteArray("Dear diary"));
    }

    // A full vault holds its limit, and full it still renames over a name and deletes, after which
    // the space comes back whole.
    void fullVaultHoldsItsLimit()
    {
        const QString path = vault(u"Brim.sparsebundle"_s);
        QString mountPoint = attachNewVault(path, m_password);
        const auto fill = [&](const QString &name) {
            QProcess dd;
            dd.start(u"dd"_s, {u"if=/dev/zero"_s, u"of="_s + mountPoint + name, u"bs=1M"_s, u"count=80"_s,
                               u"conv=fsync"_s});
            dd.waitForFinished(120000);
            QVERIFY(dd.exitCode() != 0);
            QVERIFY2(dd.readAllStandardError().contains("No space left on device"), "a full vault says so");
        };
        QVERIFY(writeAll(mountPoint + u"/target"_s, "replaced by the fill"));
        fill(u"/fill"_s);
        const qint64 held = QFileInfo(mountPoint + u"/fill"_s).size();
        QVERIFY2(held >= qint64(0.98 * 64 * 1024 * 1024), qPrintable(QString::number(held)));
        QCOMPARE(detachVault(mountPoint).status, 0);
        mountPoint = attachVault(path, m_password);
        QCOMPARE(QFileInfo(mountPoint + u"/fill"_s).size(), held);

        // fuse2fs keeps a few blocks back and refuses a rename on a full volume; it deletes.
        const QByteArray target = QFile::encodeName(mountPoint + (fallbackEngine() ? u"/fill"_s : u"/target"_s));
        if (!fallbackEngine()) {
            QCOMPARE(::rename(QFile::encodeName(mountPoint + u"/fill"_s).constData(), target.constData()), 0);
            QCOMPARE(QFileInfo(mountPoint + u"/target"_s).size(), held);
        }
        QCOMPARE(::unlink(target.constData()), 0);
        fill(u"/again"_s);
        QVERIFY(QFileInfo(mountPoint + u"/again"_s).size() >= held);
        QVERIFY(QFile::remove(mountPoint + u"/again"_s));
        QCOMPARE(detachVault(mountPoint).status, 0);
        VERIFY_SOUND(path, m_password);
    }

    void refusesARuntimeFolderOthersControl()
    {
        // Without XDG_RUNTIME_DIR the tools work in TMPDIR; a folder there made by someone else is
        // not used.
        const QString temp = m_env.root() + u"/tmp"_s;
        const QString runtime = temp + u"/runtime-%1"_s.arg(getuid());
        QVERIFY(QDir().mkpath(runtime));
        QCOMPARE(chmod(QFile::encodeName(runtime).constData(), 0777), 0);
        if (getuid() == 0)
            QCOMPARE(chown(QFile::encodeName(runtime).constData(), 65534, 65534), 0);
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", temp.toLocal8Bit());
        const auto restore = qScopeGuard([&] {
            qputenv("XDG_RUNTIME_DIR", saved);
            qunsetenv("TMPDIR");
        });
        const QString path = vault(u"Guarded.sparsebundle"_s);
        const ToolRun create = createVault(path, u"Guarded"_s, 64, m_password);
        QVERIFY(create.status != 0);
        QVERIFY2(create.err.contains("is not private to you"), create.err.constData());
        QVERIFY(QDir(runtime).isEmpty());
        // A folder of our own is made private and used.
        QVERIFY(QDir(runtime).removeRecursively());
        QCOMPARE(createVault(path, u"Guarded"_s, 64, m_password).status, 0);
        QCOMPARE(modeOf(runtime), mode_t(0700));
    }

    // A volume name never leaves its folder: names with control characters are refused, and a
    // stored one (a vault shared with its password) mounts in a folder of its own, listed and
    // lockable, beside the other vaults.
    void namesNeverLeaveTheirFolder()
    {
        const ToolRun refused = createVault(vault(u"Lines.sparsebundle"_s), u"two\nlines"_s, 64, m_password);
        QCOMPARE(refused.status, 22);
        QVERIFY2(refused.err.contains("control characters"), refused.err.constData());
        QVERIFY(!QFileInfo::exists(vault(u"Lines.sparsebundle"_s)));

        const QString other = attachNewVault(vault(u"Other.sparsebundle"_s), m_password);
        const QString path = vault(u"Shared.sparsebundle"_s);
        QCOMPARE(createVault(path, u"Shared"_s, 64, m_password).status, 0);
        const QString layer = m_env.root() + u"/layer"_s;
        QVERIFY(openWithGocryptfs(path, layer, m_password));
        QVERIFY(writeAll(layer + u"/volume-name"_s, QByteArray("Evil\0/..\n\x1b", 10)));
        QCOMPARE(QProcess::execute(u"fusermount3"_s, {u"-u"_s, layer}), 0);
        QTest::qWait(300);

        const QString mountPoint = attachVault(path, m_password);
        QCOMPARE(QFileInfo(mountPoint).path(), m_env.home() + u"/Vaults"_s);
        QVERIFY(!mountPoint.contains(QChar(0)) && !mountPoint.contains(u'\n'));
        const QByteArray listed = hdiutil({u"info"_s, u"-plist"_s}).out;
        QVERIFY(listed.contains(QFile::encodeName(mountPoint)) && listed.contains(QFile::encodeName(other)));
        QCOMPARE(detachVault(mountPoint).status, 0);
        QCOMPARE(fuseMountsBelow(m_env.home()), QStringList{other});
    }

    // A create killed half-way leaves no vault under the name, and the next create of that name
    // clears away what it left and succeeds.
    void createKilledHalfWayLeavesNothing()
    {
        const QString held = m_env.root() + u"/held"_s;
        QVERIFY(writeAll(held + u"/mke2fs"_s, "#!/bin/sh\ntouch \"$0.started\"\nexec sleep 600\n"));
        QVERIFY(QFile::setPermissions(held + u"/mke2fs"_s, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QString path = vault(u"Killed.sparsebundle"_s);
        QProcess create;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s, held + u':' + environment.value(u"PATH"_s));
        create.setProcessEnvironment(environment);
        create.start(toolPath(u"hdiutil"_s), {u"create"_s, u"-stdinpass"_s, u"-size"_s, u"64m"_s, u"-volname"_s,
                                             u"Killed"_s, path});
        create.write(m_password);
        create.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(held + u"/mke2fs.started"_s), 30000);
        create.kill();
        QVERIFY(create.waitForFinished());
        QProcess::execute(u"pkill"_s, {u"-f"_s, u"sleep 600"_s});
        QVERIFY(!QFileInfo::exists(path));

        QCOMPARE(createVault(path, u"Killed"_s, 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeAll(mountPoint + u"/after.txt"_s, "made after the kill"));
        QCOMPARE(detachVault(mountPoint).status, 0);
        QCOMPARE(QDir(m_env.home()).entryList({u".creating-*"_s}, QDir::AllEntries | QDir::Hidden), QStringList());
    }

    // Same volume names mount at "Twin", "Twin 1", …, skipping a folder someone else filled.
    void mountPointsAvoidCollisionsAndHide()
    {
        QStringList paths;
        for (const char *letter : {"A", "B", "C", "D"}) {
            paths << vault(u"Twin %1.sparsebundle"_s.arg(QLatin1String(letter)));
            QCOMPARE(createVault(paths.last(), u"Twin"_s, 64, m_password).status, 0);
        }
        QCOMPARE(attachVault(paths[0], m_password), m_env.home() + u"/Vaults/Twin"_s);
        QCOMPARE(attachVault(paths[1], m_password), m_env.home() + u"/Vaults/Twin 1"_s);
        QVERIFY(writeAll(m_env.home() + u"/Vaults/Twin 2/mine.txt"_s, "mine"));
        QCOMPARE(attachVault(paths[2], m_password), m_env.home() + u"/Vaults/Twin 3"_s);
        const QString hidden = attachVault(paths[3], m_password, true);
        QVERIFY(hidden.startsWith(m_env.runtime() + u"/hollowkeep/"_s));
        QVERIFY(hidden.endsWith(u"/Twin"_s));
        QCOMPARE(readAll(m_env.home() + u"/Vaults/Twin 2/mine.txt"_s), QByteArray("mine"));
    }

    // Detach names who holds files open and changes nothing; forced, it detaches anyway and what
    // was written before stays.
    void detachRefusesWhileFilesAreOpenUnlessForced()
    {
        const QString path = vault(u"Busy.sparsebundle"_s);
        const QString mountPoint = attachNewVault(path, m_password);
        QVERIFY(writeAll(mountPoint + u"/open.txt"_s, "in use"));
        QProcess holder;
        holder.setWorkingDirectory(mountPoint);
        holder.start(u"sleep"_s, {u"60"_s});
        QVERIFY(holder.waitForStarted());
        QFile open(mountPoint + u"/written.txt"_s);
        QVERIFY(open.open(QIODevice::WriteOnly) && open.write("kept after force") == 16 && open.flush());

        const ToolRun refused = detachVault(mountPoint);
        QVERIFY(refused.status != 0);
        const QString message = QString::fromUtf8(refused.err);
        QCOMPARE(message.count(QLatin1Char('\n')), 1);
        QVERIFY2(message.startsWith(u"The volume “Busy” is busy: "_s), qPrintable(message));
        QVERIFY2(message.contains(u"sleep"_s), qPrintable(message));
        QVERIFY2(message.contains(u"tst_hdiutil_lif"_s), qPrintable(message));
        QVERIFY(fuseMountsBelow(mountPoint).contains(mountPoint));
        QCOMPARE(readAll(mountPoint + u"/open.txt"_s), QByteArray("in use"));

        QCOMPARE(detachVault(mountPoint, true).status, 0);
        open.close();
        holder.kill();
        holder.waitForFinished();
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QCOMPARE(readAll(attachVault(path, m_password) + u"/written.txt"_s), QByteArray("kept after force"));
    }

    void anotherUserCannotReadAMountedVault()
    {
        const QString path = vault(u"Mine.sparsebundle"_s);
        const QString mountPoint = attachNewVault(path, m_password);
        QVERIFY(writeAll(mountPoint + u"/secret.txt"_s, "only mine"));
        // The folders above the volume are open to everyone: only the volume's own mode keeps others out.
        for (const QString &folder : {m_env.root(), m_env.home()})
            QCOMPARE(chmod(QFile::encodeName(folder).constData(), 0755), 0);
        for (const QStringList &command :
             {QStringList{u"cat"_s, mountPoint + u"/secret.txt"_s}, QStringList{u"ls"_s, mountPoint}}) {
            QProcess other;
            other.start(u"setpriv"_s,
                        QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s} + command);
            QVERIFY(other.waitForFinished());
            QVERIFY2(other.exitCode() != 0, qPrintable(command.join(' ')));
            QVERIFY(!other.readAllStandardOutput().contains("only mine"));
        }
    }
};

QTEST_GUILESS_MAIN(TestHdiutilLifecycle)
#include "tst_hdiutil_lifecycle.moc"

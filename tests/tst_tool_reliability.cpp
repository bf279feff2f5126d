#include "ToolHarness.h"

#include <csignal>
#include <sys/mount.h>

// What happens to a vault when a daemon dies or stops, operations overlap, its file system is
// damaged or the host disk fills up.
class TestToolReliability : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "reliable-pass";

private Q_SLOTS:
    void cleanup() { detachAndExpectNothingLeft(m_env.root()); }

    void killedDaemonWhileWriting_data()
    {
        QTest::addColumn<QString>("daemon");
        if (fallbackEngine()) {
            QTest::newRow("file system") << "fuse2fs";
            QTest::newRow("encryption") << "gocryptfs";
        } else {
            QTest::newRow("volume daemon") << "volumed";
        }
    }

    void killedDaemonWhileWriting()
    {
        QFETCH(QString, daemon);
        const QString path = m_env.home() + u"/Crash %1.sparsebundle"_s.arg(daemon);
        QString mountPoint = attachNewVault(path, m_password, 256);
        QList<QByteArray> synced;
        for (int i = 0; i < 20; ++i) {
            synced.append(QByteArray(64 * 1024 * (i + 1) + i, char('a' + i)));
            QVERIFY(writeSynced(mountPoint + u"/synced-%1.bin"_s.arg(i), synced.last()));
        }

        QProcess writer;
        writer.start(u"dd"_s, {u"if=/dev/urandom"_s, u"of="_s + mountPoint + u"/stream.bin"_s, u"bs=64k"_s,
                               u"count=3000"_s});
        QVERIFY(writer.waitForStarted());
        QTest::qWait(400);
        const pid_t pid = daemon == "gocryptfs"_L1 ? processesOf(daemon, path + u"/cipher"_s).value(0)
                                                   : volumeServer(mountPoint);
        QVERIFY(pid > 0);
        QCOMPARE(kill(pid, SIGKILL), 0);
        QVERIFY(writer.waitForFinished(30000));

        // Still attached, but marked as not responding, so that the program can lock it.
        const ToolRun info = hdiutil({u"info"_s, u"-plist"_s});
        QCOMPARE(mountPointIn(info.out), mountPoint);
        QVERIFY(QString::fromUtf8(info.out).contains(QRegularExpression(u"responding</key>\\s*<false/>"_s)));

        // Attaching again clears the dead volume away, repairs the file system and mounts it afresh.
        const ToolRun attach = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, path}, m_password);
        QVERIFY2(attach.status == 0, attach.err.constData());
        mountPoint = mountPointIn(attach.out);
        for (int i = 0; i < synced.size(); ++i)
            QVERIFY(readAll(mountPoint + u"/synced-%1.bin"_s.arg(i)) == synced[i]);
        QVERIFY(writeSynced(mountPoint + u"/after.bin"_s, "written after the crash"));
        VERIFY_SOUND(mountPoint);
        QCOMPARE(detachVault(mountPoint).status, 0);
        QVERIFY(daemonsMentioning(m_env.root()).isEmpty());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    void deadOrStoppedVolumesCanBeLocked()
    {
        const QString path = m_env.home() + u"/Stuck.sparsebundle"_s;
        QCOMPARE(createVault(path, u"Stuck"_s, 64, m_password).status, 0);

        // A stopped daemon: looking up what is attached must not hang on it.
        QString mountPoint = attachVault(path, m_password);
        const pid_t stopped = volumeServer(mountPoint);
        QVERIFY(stopped > 0);
        QCOMPARE(kill(stopped, SIGSTOP), 0);
        auto resume = qScopeGuard([&] { kill(stopped, SIGCONT); });
        QProcess info;
        info.start(toolPath(u"hdiutil"_s), {u"info"_s, u"-plist"_s});
        QVERIFY2(info.waitForFinished(10000), "hdiutil info hung on a stopped volume");
        QCOMPARE(mountPointIn(info.readAllStandardOutput()), mountPoint);
        QCOMPARE(detachVault(mountPoint, true).status, 0);
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());

        // A volume whose encryption layer was taken away: detach still unmounts it.
        mountPoint = attachVault(path, m_password);
        const QString layer = fuseMountsBelow(m_env.root()).filter(u"/layers/"_s).value(0);
        QVERIFY(!layer.isEmpty());
        QCOMPARE(QProcess::execute(u"fusermount3"_s, {u"-u"_s, u"-z"_s, layer}), 0);
        QVERIFY(fuseMountsBelow(m_env.root()).contains(mountPoint));
        const ToolRun detach = detachVault(mountPoint);
        QVERIFY2(detach.status == 0, detach.err.constData());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(!attachVault(path, m_password).isEmpty());
    }

    void oneOperationAtATime()
    {
        const QString path = m_env.home() + u"/Shared.sparsebundle"_s;
        QString mountPoint = attachNewVault(path, m_password, 1024);
        const QByteArray data = QByteArray(24 * 1024 * 1024, 'd');
        QVERIFY(writeSynced(mountPoint + u"/data.bin"_s, data));
        QCOMPARE(detachVault(mountPoint).status, 0);

        // The first operation is held at its file-system check, its encryption layer open, by an
        // e2fsck that waits for a go before running the real one.
        const QString held = m_env.root() + u"/held"_s;
        QVERIFY(writeAll(held + u"/e2fsck"_s,
                         "#!/bin/sh\ntouch \"$0.started\"\nwhile [ ! -e \"$0.go\" ]; do sleep 0.05; done\n"
                         "exec /usr/sbin/e2fsck \"$@\"\n"));
        QVERIFY(QFile::setPermissions(held + u"/e2fsck"_s, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const auto start = [&](QProcess &process, const QStringList &arguments, bool hold) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            if (hold)
                environment.insert(u"PATH"_s, held + QLatin1Char(':') + environment.value(u"PATH"_s));
            process.setProcessEnvironment(environment);
            process.start(toolPath(u"hdiutil"_s), arguments);
            process.write(m_password);
            process.closeWriteChannel();
        };
        const QStringList attach{u"attach"_s, u"-plist"_s, u"-stdinpass"_s, path};
        const QStringList compact{u"compact"_s, u"-stdinpass"_s, path};
        for (const QStringList &first : {compact, attach}) {
            QFile::remove(held + u"/e2fsck.started"_s);
            QFile::remove(held + u"/e2fsck.go"_s);
            QProcess one, two;
            start(one, first, true);
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(held + u"/e2fsck.started"_s), 20000);
            start(two, attach, false);
            QVERIFY(two.waitForFinished(120000));
            QVERIFY(writeAll(held + u"/e2fsck.go"_s, {}));
            QVERIFY(one.waitForFinished(120000));
            QCOMPARE(one.exitCode(), 0);
            QVERIFY(two.exitCode() != 0);
            QVERIFY(two.readAllStandardError().contains("The vault is in use by another operation."));
            if (first == attach) {
                const QString volume = mountPointIn(one.readAllStandardOutput());
                QCOMPARE(mountPointIn(hdiutil({u"info"_s, u"-plist"_s}).out), volume);
                QCOMPARE(detachVault(volume).status, 0);
            }
            QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        }
        mountPoint = attachVault(path, m_password);
        QCOMPARE(readAll(mountPoint + u"/data.bin"_s), data);
        VERIFY_SOUND(mountPoint);
    }

    // A forced lock while the file system is still writing its last changes out (made slow here)
    // lets it finish: stopped half way, its superblock was torn and the next unlock had to repair
    // it, or could not.
    void forcedDetachLetsTheVolumeFinishWriting()
    {
        const QString path = m_env.home() + u"/Slow.sparsebundle"_s;
        const QString first = attachNewVault(path, m_password);
        QVERIFY(writeSynced(first + u"/kept.txt"_s, "written before the forced lock"));
        QCOMPARE(detachVault(first).status, 0);

        // Each changed field of the superblock takes 300 ms to write; the unmount returns 600 ms
        // after it is done, when the file system is half way through writing them.
        const QString rules = m_env.root() + u"/slow-rules"_s;
        QVERIFY(writeAll(rules, "write DELAY300 /disk.img\numount2 DELAY600 /Vaults/Slow\n"));
        QProcessEnvironment slow = QProcessEnvironment::systemEnvironment();
        slow.insert(u"LD_PRELOAD"_s, QString::fromUtf8(HOST_IO_LIBRARY));
        slow.insert(u"HOLLOWKEEP_HOST_IO_WITHIN"_s, m_env.root());
        slow.insert(u"HOLLOWKEEP_HOST_IO_FAIL"_s, rules);
        const QString tool = toolPath(u"hdiutil"_s);
        const ToolRun attached =
            runProgram(tool, {u"attach"_s, u"-plist"_s, u"-stdinpass"_s, path}, m_password, slow);
        QVERIFY2(attached.status == 0, attached.err.constData());
        const QString mountPoint = mountPointIn(attached.out);
        // Answered once the file system has started and written its mount.
        QVERIFY(QDir(mountPoint).entryList().contains(u"kept.txt"_s));
        const ToolRun forced = runProgram(tool, {u"detach"_s, mountPoint, u"-force"_s}, {}, slow);
        QVERIFY2(forced.status == 0, forced.err.constData());

        QVERIFY(QFile::remove(rules));
        const ToolRun again = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, path}, m_password);
        QVERIFY2(again.status == 0, again.err.constData());
        QVERIFY2(!again.out.contains("repair-report"), again.out.constData());
        QCOMPARE(readAll(mountPointIn(again.out) + u"/kept.txt"_s), QByteArray("written before the forced lock"));
    }

    void lostSuperblockIsRepairedFromItsCopy()
    {
        const QString path = m_env.home() + u"/Damaged.sparsebundle"_s;
        QString mountPoint = attachNewVault(path, m_password, 1024);
        QVERIFY(writeSynced(mountPoint + u"/kept.txt"_s, "kept through the damage"));
        QCOMPARE(detachVault(mountPoint).status, 0);

        // Zero the superblock through the encryption.
        const QString layer = m_env.root() + u"/layer"_s;
        QVERIFY(openWithGocryptfs(path, layer, m_password));
        QFile image(layer + u"/disk.img"_s);
        QVERIFY(image.open(QIODevice::ReadWrite) && image.seek(1024));
        QCOMPARE(image.write(QByteArray(1024, '\0')), 1024);
        image.close();
        QCOMPARE(QProcess::execute(u"fusermount3"_s, {u"-u"_s, layer}), 0);

        // The locked vault can be checked and repaired even though it cannot be mounted.
        const ToolRun damaged = verifyVolume(path, m_password);
        QVERIFY(damaged.status != 0);
        QVERIFY(!damaged.out.contains("exit code is 0."));
        const ToolRun repaired = runTool(u"diskutil"_s, {u"repairVolume"_s, u"-stdinpass"_s, path}, m_password);
        QVERIFY2(repaired.status == 0, repaired.out + repaired.err);
        VERIFY_SOUND(path, m_password);
        mountPoint = attachVault(path, m_password);
        QCOMPARE(readAll(mountPoint + u"/kept.txt"_s), QByteArray("kept through the damage"));
    }

    void hostDiskFillsUpWhileWriting()
    {
        // A small host file system that can really run out of space.
        const QString host = m_env.root() + u"/small-disk"_s;
        QVERIFY(QDir().mkpath(host));
        QVERIFY2(mount("hollowkeep-test", QFile::encodeName(host).constData(), "tmpfs", 0,
                       "size=64m,mode=0700") == 0,
                 "mounting a small tmpfs needs root, as in CI");
        const auto unmountHost =
            qScopeGuard([&] { umount2(QFile::encodeName(host).constData(), MNT_DETACH); });

        const QString path = host + u"/Full.sparsebundle"_s;
        QString mountPoint = attachNewVault(path, m_password, 256);
        const QByteArray earlier(2 * 1024 * 1024, 'e');
        QVERIFY(writeSynced(mountPoint + u"/earlier.bin"_s, earlier));
        // Leave only a little room on the host.
        QVERIFY(writeAll(host + u"/filler"_s, QByteArray(40 * 1024 * 1024, 'f')));
        QVERIFY(writeAll(host + u"/spare"_s, QByteArray(1024 * 1024, 's')));

        QProcess writer;
        writer.start(u"dd"_s, {u"if=/dev/zero"_s, u"of="_s + mountPoint + u"/big.bin"_s, u"bs=1M"_s,
                               u"count=100"_s, u"conv=fsync"_s});
        QVERIFY(writer.waitForFinished(120000));
        QVERIFY2(writer.exitCode() != 0, "writing more than the host holds must fail");
        // The writer learns why (the fallback engine's fuse2fs reports it as another error).
        const QByteArray complaint = writer.readAllStandardError();
        QVERIFY2(fallbackEngine() || complaint.contains("No space left on device"), complaint.constData());

        // Small files copied in while the host has a megabyte left: each copy says it failed, or its
        // file is kept; and the vault locks with the host still full. (fuse2fs buffers what it
        // writes and cannot tell the writer or the lock that the host disk refused it: the fallback
        // engine only keeps what came before.)
        QVERIFY(QFile::remove(host + u"/spare"_s));
        QList<QByteArray> copied;
        int refused = 0;
        for (int i = 0; i < 20 && !fallbackEngine(); ++i) {
            const QString source = m_env.root() + u"/small-%1"_s.arg(i);
            QVERIFY(writeAll(source, QByteArray(100 * 1024, char('a' + i))));
            QProcess cp;
            cp.start(u"cp"_s, {source, mountPoint + u"/small-%1"_s.arg(i)});
            QVERIFY(cp.waitForFinished());
            const bool kept = cp.exitCode() == 0;
            copied << (kept ? readAll(source) : QByteArray());
            if (!kept) {
                ++refused;
                QVERIFY(cp.readAllStandardError().contains("No space left on device"));
            }
        }
        if (!fallbackEngine()) {
            QVERIFY(refused > 0 && refused < 20);
            const ToolRun lock = detachVault(mountPoint);
            QVERIFY2(lock.status == 0, lock.err.constData());
        }

        // The user makes room on the host; the vault then attaches with everything and checks clean.
        QVERIFY(QFile::remove(host + u"/filler"_s));
        detachEverything(host);
        const ToolRun attach = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, path}, m_password);
        QVERIFY2(attach.status == 0, attach.err.constData());
        mountPoint = mountPointIn(attach.out);
        QCOMPARE(readAll(mountPoint + u"/earlier.bin"_s), earlier);
        for (int i = 0; i < copied.size(); ++i) {
            if (!copied[i].isEmpty())
                QCOMPARE(readAll(mountPoint + u"/small-%1"_s.arg(i)), copied[i]);
        }
        QFile::remove(mountPoint + u"/big.bin"_s);
        VERIFY_SOUND(mountPoint);
        QCOMPARE(detachVault(mountPoint).status, 0);
    }
};

QTEST_GUILESS_MAIN(TestToolReliability)
#include "tst_tool_reliability.moc"

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

    // The daemon of that program whose arguments mention the text.
    static pid_t daemonServing(const QString &program, const QString &mention)
    {
        const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &pid : pids) {
            const QByteArray arguments = readAll(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (QFileInfo(QString::fromUtf8(arguments.left(arguments.indexOf(char(0))))).fileName() ==
                    program &&
                arguments.contains(mention.toUtf8()))
                return pid.toInt();
        }
        return 0;
    }

    static bool writeSynced(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
               fsync(file.handle()) == 0;
    }

    static ToolRun verify(const QString &mountPoint)
    {
        return runTool(QStringLiteral("diskutil"), {QStringLiteral("verifyVolume"), mountPoint});
    }

private Q_SLOTS:
    void cleanup()
    {
        detachEverything(m_env.root());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    void killedDaemonWhileWriting_data()
    {
        QTest::addColumn<QString>("daemon");
        QTest::newRow("file system") << "fuse2fs";
        QTest::newRow("encryption") << "gocryptfs";
    }

    void killedDaemonWhileWriting()
    {
        QFETCH(QString, daemon);
        const QString path = m_env.home() + QStringLiteral("/Crash %1.sparsebundle").arg(daemon);
        QCOMPARE(createVault(path, QStringLiteral("Crash"), 256, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        QList<QByteArray> synced;
        for (int i = 0; i < 20; ++i) {
            synced.append(QByteArray(64 * 1024 * (i + 1) + i, char('a' + i)));
            QVERIFY(writeSynced(mountPoint + QStringLiteral("/synced-%1.bin").arg(i), synced.last()));
        }

        QProcess writer;
        writer.start(QStringLiteral("dd"),
                     {QStringLiteral("if=/dev/urandom"),
                      QStringLiteral("of=") + mountPoint + QStringLiteral("/stream.bin"),
                      QStringLiteral("bs=64k"), QStringLiteral("count=3000")});
        QVERIFY(writer.waitForStarted());
        QTest::qWait(400);
        const pid_t pid = daemonServing(daemon, daemon == QLatin1String("fuse2fs") ? mountPoint : path);
        QVERIFY(pid > 0);
        QCOMPARE(kill(pid, SIGKILL), 0);
        QVERIFY(writer.waitForFinished(30000));

        // Still attached, but marked as not responding, so that the program can lock it.
        const ToolRun info = hdiutil({QStringLiteral("info"), QStringLiteral("-plist")});
        QCOMPARE(mountPointIn(info.out), mountPoint);
        QVERIFY(QString::fromUtf8(info.out).contains(
            QRegularExpression(QStringLiteral("responding</key>\\s*<false/>"))));

        // Attaching again clears the dead volume away, repairs the file system and mounts it afresh.
        const ToolRun attach =
            hdiutil({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass"), path},
                    m_password);
        QVERIFY2(attach.status == 0, attach.err.constData());
        mountPoint = mountPointIn(attach.out);
        for (int i = 0; i < synced.size(); ++i)
            QVERIFY(readAll(mountPoint + QStringLiteral("/synced-%1.bin").arg(i)) == synced[i]);
        QVERIFY(writeSynced(mountPoint + QStringLiteral("/after.bin"), "written after the crash"));
        const ToolRun check = verify(mountPoint);
        QVERIFY2(check.status == 0 && check.out.contains("exit code is 0"), check.out.constData());
        QCOMPARE(detachVault(mountPoint).status, 0);
        QVERIFY(daemonsMentioning(m_env.root()).isEmpty());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    void deadOrStoppedVolumesCanBeLocked()
    {
        const QString path = m_env.home() + QStringLiteral("/Stuck.sparsebundle");
        QCOMPARE(createVault(path, QStringLiteral("Stuck"), 64, m_password).status, 0);

        // A stopped daemon: looking up what is attached must not hang on it.
        QString mountPoint = attachVault(path, m_password);
        const pid_t stopped = daemonServing(QStringLiteral("fuse2fs"), mountPoint);
        QCOMPARE(kill(stopped, SIGSTOP), 0);
        auto resume = qScopeGuard([&] { kill(stopped, SIGCONT); });
        QProcess info;
        info.start(toolPath(QStringLiteral("hdiutil")), {QStringLiteral("info"), QStringLiteral("-plist")});
        QVERIFY2(info.waitForFinished(10000), "hdiutil info hung on a stopped volume");
        QCOMPARE(mountPointIn(info.readAllStandardOutput()), mountPoint);
        QCOMPARE(detachVault(mountPoint, true).status, 0);
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());

        // A volume whose encryption layer was taken away: detach still unmounts it.
        mountPoint = attachVault(path, m_password);
        const QString layer = fuseMountsBelow(m_env.root()).filter(QStringLiteral("/layers/")).value(0);
        QVERIFY(!layer.isEmpty());
        QCOMPARE(QProcess::execute(QStringLiteral("fusermount3"),
                                   {QStringLiteral("-u"), QStringLiteral("-z"), layer}),
                 0);
        QVERIFY(fuseMountsBelow(m_env.root()).contains(mountPoint));
        const ToolRun detach = detachVault(mountPoint);
        QVERIFY2(detach.status == 0, detach.err.constData());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(!attachVault(path, m_password).isEmpty());
    }

    void oneOperationAtATime()
    {
        const QString path = m_env.home() + QStringLiteral("/Shared.sparsebundle");
        QCOMPARE(createVault(path, QStringLiteral("Shared"), 1024, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        const QByteArray data = QByteArray(24 * 1024 * 1024, 'd');
        QVERIFY(writeSynced(mountPoint + QStringLiteral("/data.bin"), data));
        QCOMPARE(detachVault(mountPoint).status, 0);

        // The first operation is held at its file-system check, its encryption layer open, by an
        // e2fsck that waits for a go before running the real one.
        const QString held = m_env.root() + QStringLiteral("/held");
        QVERIFY(writeAll(held + QStringLiteral("/e2fsck"),
                         "#!/bin/sh\ntouch \"$0.started\"\nwhile [ ! -e \"$0.go\" ]; do sleep 0.05; done\n"
                         "exec /usr/sbin/e2fsck \"$@\"\n"));
        QVERIFY(QFile::setPermissions(held + QStringLiteral("/e2fsck"),
                                      QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const auto start = [&](QProcess &process, const QStringList &arguments, bool hold) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            if (hold)
                environment.insert(QStringLiteral("PATH"),
                                   held + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
            process.setProcessEnvironment(environment);
            process.start(toolPath(QStringLiteral("hdiutil")), arguments);
            process.write(m_password);
            process.closeWriteChannel();
        };
        const QStringList attach{QStringLiteral("attach"), QStringLiteral("-plist"),
                                 QStringLiteral("-stdinpass"), path};
        const QStringList compact{QStringLiteral("compact"), QStringLiteral("-stdinpass"), path};
        for (const QStringList &first : {compact, attach}) {
            QFile::remove(held + QStringLiteral("/e2fsck.started"));
            QFile::remove(held + QStringLiteral("/e2fsck.go"));
            QProcess one, two;
            start(one, first, true);
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(held + QStringLiteral("/e2fsck.started")), 20000);
            start(two, attach, false);
            QVERIFY(two.waitForFinished(120000));
            QVERIFY(writeAll(held + QStringLiteral("/e2fsck.go"), {}));
            QVERIFY(one.waitForFinished(120000));
            QCOMPARE(one.exitCode(), 0);
            QVERIFY(two.exitCode() != 0);
            QVERIFY(two.readAllStandardError().contains("The vault is in use by another operation."));
            if (first == attach) {
                const QString volume = mountPointIn(one.readAllStandardOutput());
                QCOMPARE(mountPointIn(hdiutil({QStringLiteral("info"), QStringLiteral("-plist")}).out),
                         volume);
                QCOMPARE(detachVault(volume).status, 0);
            }
            QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        }
        mountPoint = attachVault(path, m_password);
        QCOMPARE(readAll(mountPoint + QStringLiteral("/data.bin")), data);
        const ToolRun check = verify(mountPoint);
        QVERIFY2(check.status == 0, check.out.constData());
    }

    void lostSuperblockIsRepairedFromItsCopy()
    {
        const QString path = m_env.home() + QStringLiteral("/Damaged.sparsebundle");
        QCOMPARE(createVault(path, QStringLiteral("Damaged"), 1024, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeSynced(mountPoint + QStringLiteral("/kept.txt"), "kept through the damage"));
        QCOMPARE(detachVault(mountPoint).status, 0);

        // Zero the superblock through the encryption.
        const QString layer = m_env.root() + QStringLiteral("/layer");
        QVERIFY(QDir().mkpath(layer));
        QProcess gocryptfs;
        gocryptfs.start(QStringLiteral("gocryptfs"),
                        {QStringLiteral("-q"), path + QStringLiteral("/cipher"), layer});
        gocryptfs.write(m_password + '\n');
        gocryptfs.closeWriteChannel();
        QVERIFY(gocryptfs.waitForFinished(30000) && gocryptfs.exitCode() == 0);
        QFile image(layer + QStringLiteral("/disk.img"));
        QVERIFY(image.open(QIODevice::ReadWrite) && image.seek(1024));
        QCOMPARE(image.write(QByteArray(1024, '\0')), 1024);
        image.close();
        QCOMPARE(QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), layer}), 0);

        // The locked vault can be checked and repaired even though it cannot be mounted.
        const auto diskutil = [&](const QString &verb) {
            return runTool(QStringLiteral("diskutil"), {verb, QStringLiteral("-stdinpass"), path},
                           m_password);
        };
        const ToolRun damaged = diskutil(QStringLiteral("verifyVolume"));
        QVERIFY(damaged.status != 0);
        QVERIFY(!damaged.out.contains("exit code is 0."));
        const ToolRun repaired = diskutil(QStringLiteral("repairVolume"));
        QVERIFY2(repaired.status == 0, repaired.out + repaired.err);
        QVERIFY(diskutil(QStringLiteral("verifyVolume")).out.contains("exit code is 0."));
        mountPoint = attachVault(path, m_password);
        QCOMPARE(readAll(mountPoint + QStringLiteral("/kept.txt")), QByteArray("kept through the damage"));
    }

    void hostDiskFillsUpWhileWriting()
    {
        // A small host file system that can really run out of space.
        const QString host = m_env.root() + QStringLiteral("/small-disk");
        QVERIFY(QDir().mkpath(host));
        QVERIFY2(mount("hollowkeep-test", QFile::encodeName(host).constData(), "tmpfs", 0,
                       "size=64m,mode=0700") == 0,
                 "mounting a small tmpfs needs root, as in CI");
        const auto unmountHost =
            qScopeGuard([&] { umount2(QFile::encodeName(host).constData(), MNT_DETACH); });

        const QString path = host + QStringLiteral("/Full.sparsebundle");
        QCOMPARE(createVault(path, QStringLiteral("Full"), 256, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        const QByteArray earlier(2 * 1024 * 1024, 'e');
        QVERIFY(writeSynced(mountPoint + QStringLiteral("/earlier.bin"), earlier));
        // Leave only a little room on the host.
        QVERIFY(writeAll(host + QStringLiteral("/filler"), QByteArray(40 * 1024 * 1024, 'f')));

        QProcess writer;
        writer.start(QStringLiteral("dd"),
                     {QStringLiteral("if=/dev/zero"),
                      QStringLiteral("of=") + mountPoint + QStringLiteral("/big.bin"),
                      QStringLiteral("bs=1M"), QStringLiteral("count=100"), QStringLiteral("conv=fsync")});
        QVERIFY(writer.waitForFinished(120000));
        QVERIFY2(writer.exitCode() != 0, "writing more than the host holds must fail");

        // The user makes room on the host; the vault then detaches, attaches and checks clean.
        QVERIFY(QFile::remove(host + QStringLiteral("/filler")));
        QFile::remove(mountPoint + QStringLiteral("/big.bin"));
        detachVault(mountPoint);
        detachEverything(host);
        const ToolRun attach =
            hdiutil({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass"), path},
                    m_password);
        QVERIFY2(attach.status == 0, attach.err.constData());
        mountPoint = mountPointIn(attach.out);
        QCOMPARE(readAll(mountPoint + QStringLiteral("/earlier.bin")), earlier);
        const ToolRun check = verify(mountPoint);
        QVERIFY2(check.status == 0 && check.out.contains("exit code is 0"), check.out.constData());
        QCOMPARE(detachVault(mountPoint).status, 0);
    }
};

QTEST_GUILESS_MAIN(TestToolReliability)
#include "tst_tool_reliability.moc"

#include "ToolHarness.h"

#include <csignal>
#include <sys/mount.h>

// What happens to a vault when its file-system daemon is killed or the host disk fills up.
class TestToolReliability : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "reliable-pass";

    static pid_t daemonServing(const QString &mountPoint)
    {
        const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &pid : pids) {
            const QByteArray arguments = readAll(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (QFileInfo(QString::fromUtf8(arguments.left(arguments.indexOf(char(0))))).fileName() ==
                    QLatin1String("fuse2fs") &&
                arguments.contains(mountPoint.toUtf8()))
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

    void killedDaemonWhileWriting()
    {
        const QString path = m_env.home() + QStringLiteral("/Crash.sparsebundle");
        QCOMPARE(createVault(path, QStringLiteral("Crash"), 256, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        const QByteArray synced(3 * 1024 * 1024 + 17, 's');
        QVERIFY(writeSynced(mountPoint + QStringLiteral("/synced.bin"), synced));

        QProcess writer;
        writer.start(QStringLiteral("dd"),
                     {QStringLiteral("if=/dev/urandom"),
                      QStringLiteral("of=") + mountPoint + QStringLiteral("/stream.bin"),
                      QStringLiteral("bs=64k"), QStringLiteral("count=3000")});
        QVERIFY(writer.waitForStarted());
        QTest::qWait(400);
        const pid_t daemon = daemonServing(mountPoint);
        QVERIFY(daemon > 0);
        QCOMPARE(kill(daemon, SIGKILL), 0);
        QVERIFY(writer.waitForFinished(30000));
        QVERIFY(writer.exitCode() != 0);

        // The dead volume is no longer reported as mounted.
        QVERIFY(mountPointIn(hdiutil({QStringLiteral("info"), QStringLiteral("-plist")}).out).isEmpty());

        // Attaching again repairs the file system and mounts it.
        const ToolRun attach =
            hdiutil({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass"), path},
                    m_password);
        QVERIFY2(attach.status == 0, attach.err.constData());
        mountPoint = mountPointIn(attach.out);
        QCOMPARE(readAll(mountPoint + QStringLiteral("/synced.bin")), synced);
        const ToolRun check = verify(mountPoint);
        QVERIFY2(check.status == 0 && check.out.contains("exit code is 0"), check.out.constData());
        QCOMPARE(detachVault(mountPoint).status, 0);
        QVERIFY(daemonsMentioning(m_env.root()).isEmpty());
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

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
    void cleanup()
    {
        detachEverything(m_env.root());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY2(daemonsMentioning(m_env.root()).isEmpty(),
                 qPrintable(daemonsMentioning(m_env.root()).join('\n')));
    }

    void createMakesASparseBundle()
    {
        const QString path = vault(QStringLiteral("Big.sparsebundle"));
        const ToolRun run = createVault(path, QStringLiteral("Big"), 4096, m_password);
        QCOMPARE(run.status, 0);
        QVERIFY(run.err.isEmpty());
        QVERIFY(QFile::exists(path + QStringLiteral("/cipher/gocryptfs.conf")));
        const QByteArray info = readAll(path + QStringLiteral("/Info.plist"));
        QVERIFY(info.contains("<key>size</key>"));
        QVERIFY(info.contains("<integer>4294967296</integer>"));
        // A 4 GB vault takes almost nothing until files go in.
        const qint64 used = diskUsageBytes(path);
        QVERIFY2(used < 16 * 1024 * 1024, qPrintable(QString::number(used)));
        // Nothing is left mounted or running after creation.
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(daemonsMentioning(m_env.root()).isEmpty());
    }

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
    }

    void createRefusesBadInputAndLeavesNothing()
    {
        QFETCH(QString, name);
        QFETCH(int, sizeMB);
        QFETCH(QByteArray, password);
        QFETCH(QString, words);
        const ToolRun run = createVault(vault(name), QStringLiteral("X"), sizeMB, password);
        QVERIFY(run.status != 0);
        QVERIFY2(QString::fromUtf8(run.err).contains(words), run.err.constData());
        QVERIFY(!QFileInfo::exists(vault(name)));
    }

    void createNeverOverwrites()
    {
        const QString path = vault(QStringLiteral("Existing.sparsebundle"));
        QVERIFY(writeAll(path + QStringLiteral("/keep.txt"), "precious"));
        const ToolRun run = createVault(path, QStringLiteral("X"), 64, m_password);
        QVERIFY(run.status != 0);
        QVERIFY(run.err.contains("File exists"));
        QCOMPARE(readAll(path + QStringLiteral("/keep.txt")), QByteArray("precious"));
    }

    void attachDetachKeepsData()
    {
        const QString path = vault(QStringLiteral("Notes.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Notes"), 64, m_password).status, 0);

        const ToolRun attach =
            hdiutil({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass"), path},
                    m_password);
        QCOMPARE(attach.status, 0);
        QVERIFY(attach.out.contains("<key>system-entities</key>"));
        const QString mountPoint = mountPointIn(attach.out);
        QCOMPARE(mountPoint, m_env.home() + QStringLiteral("/Vaults/Notes"));
        // Only the owner may enter the volume, and everything in it is the owner's.
        QCOMPARE(modeOf(mountPoint), mode_t(0700));
        QCOMPARE(QFileInfo(mountPoint + QStringLiteral("/lost+found")).ownerId(), getuid());
        QVERIFY(writeAll(mountPoint + QStringLiteral("/letter.txt"), "Dear diary"));

        // info reads the kernel's table: the image and where it is mounted.
        const ToolRun info = hdiutil({QStringLiteral("info"), QStringLiteral("-plist")});
        QCOMPARE(info.status, 0);
        QVERIFY(info.out.contains("<key>image-path</key>"));
        QVERIFY(info.out.contains(path.toUtf8()));
        QCOMPARE(mountPointIn(info.out), mountPoint);

        // Attaching again answers where it already is.
        QCOMPARE(attachVault(path, m_password), mountPoint);

        const ToolRun detach = detachVault(mountPoint);
        QCOMPARE(detach.status, 0);
        QVERIFY(!QFileInfo::exists(mountPoint));
        QVERIFY(!hdiutil({QStringLiteral("info"), QStringLiteral("-plist")}).out.contains("image-path"));

        const QString again = attachVault(path, m_password);
        QCOMPARE(again, mountPoint);
        QCOMPARE(readAll(again + QStringLiteral("/letter.txt")), QByteArray("Dear diary"));
    }

    void fullVaultHoldsItsLimit()
    {
        const QString path = vault(QStringLiteral("Brim.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Brim"), 64, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        QProcess dd;
        dd.start(QStringLiteral("dd"),
                 {QStringLiteral("if=/dev/zero"),
                  QStringLiteral("of=") + mountPoint + QStringLiteral("/fill"), QStringLiteral("bs=1M"),
                  QStringLiteral("count=80"), QStringLiteral("conv=fsync")});
        QVERIFY(dd.waitForFinished(120000));
        QVERIFY(dd.exitCode() != 0);
        QVERIFY2(dd.readAllStandardError().contains("No space left on device"), "a full vault says so");
        const qint64 held = QFileInfo(mountPoint + QStringLiteral("/fill")).size();
        QVERIFY2(held >= qint64(0.98 * 64 * 1024 * 1024), qPrintable(QString::number(held)));
        QCOMPARE(detachVault(mountPoint).status, 0);
        mountPoint = attachVault(path, m_password);
        QCOMPARE(QFileInfo(mountPoint + QStringLiteral("/fill")).size(), held);
    }

    void refusesARuntimeFolderOthersControl()
    {
        // Without XDG_RUNTIME_DIR the tools work in TMPDIR; a folder there made by someone else is
        // not used.
        const QString temp = m_env.root() + QStringLiteral("/tmp");
        const QString runtime = temp + QStringLiteral("/runtime-%1").arg(getuid());
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
        const QString path = vault(QStringLiteral("Guarded.sparsebundle"));
        const ToolRun create = createVault(path, QStringLiteral("Guarded"), 64, m_password);
        QVERIFY(create.status != 0);
        QVERIFY2(create.err.contains("is not private to you"), create.err.constData());
        QVERIFY(QDir(runtime).isEmpty());
        // A folder of our own is made private and used.
        QVERIFY(QDir(runtime).removeRecursively());
        QCOMPARE(createVault(path, QStringLiteral("Guarded"), 64, m_password).status, 0);
        QCOMPARE(modeOf(runtime), mode_t(0700));
    }

    void wrongPasswordSaysAuthentication()
    {
        const QString path = vault(QStringLiteral("Locked.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Locked"), 64, m_password).status, 0);
        for (const QByteArray &wrong :
             {QByteArray("wrong-pass"), QByteArray("lifecycle-pas"), QByteArray("lifecycle-pass\nx")}) {
            const ToolRun run = hdiutil(
                {QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass"), path},
                wrong);
            QVERIFY(run.status != 0);
            QVERIFY2(run.err.contains("Authentication"), run.err.constData());
            QVERIFY(mountPointIn(run.out).isEmpty());
        }
        // Also while it is attached.
        const QString mountPoint = attachVault(path, m_password);
        QVERIFY(!mountPoint.isEmpty());
        QVERIFY(
            hdiutil({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass"), path},
                    "nope")
                .err.contains("Authentication"));
        QVERIFY(fuseMountsBelow(m_env.home()).size() == 1);
    }

    void mountPointsAvoidCollisionsAndHide()
    {
        const QString first = vault(QStringLiteral("Twin A.sparsebundle"));
        const QString second = vault(QStringLiteral("Twin B.sparsebundle"));
        const QString third = vault(QStringLiteral("Twin C.sparsebundle"));
        for (const QString &path : {first, second, third})
            QCOMPARE(createVault(path, QStringLiteral("Twin"), 64, m_password).status, 0);
        // A non-empty folder of that name is not used either.
        QVERIFY(writeAll(m_env.home() + QStringLiteral("/Vaults/Twin 1/mine.txt"), "mine"));
        QCOMPARE(attachVault(first, m_password), m_env.home() + QStringLiteral("/Vaults/Twin"));
        QCOMPARE(attachVault(second, m_password), m_env.home() + QStringLiteral("/Vaults/Twin 2"));
        const QString hidden = attachVault(third, m_password, true);
        QVERIFY(hidden.startsWith(m_env.runtime() + QStringLiteral("/hollowkeep/")));
        QVERIFY(hidden.endsWith(QStringLiteral("/Twin")));
        QCOMPARE(readAll(m_env.home() + QStringLiteral("/Vaults/Twin 1/mine.txt")), QByteArray("mine"));
        QCOMPARE(mountPointIn(hdiutil({QStringLiteral("info"), QStringLiteral("-plist")}).out).isEmpty(),
                 false);
    }

    void detachRefusesWhileFilesAreOpen()
    {
        const QString path = vault(QStringLiteral("Busy.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Busy"), 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeAll(mountPoint + QStringLiteral("/open.txt"), "in use"));

        QProcess holder;
        holder.setWorkingDirectory(mountPoint);
        holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(holder.waitForStarted());
        QFile open(mountPoint + QStringLiteral("/open.txt"));
        QVERIFY(open.open(QIODevice::ReadOnly));

        const ToolRun refused = detachVault(mountPoint);
        QVERIFY(refused.status != 0);
        const QString message = QString::fromUtf8(refused.err);
        QCOMPARE(message.count(QLatin1Char('\n')), 1);
        QVERIFY2(message.startsWith(QStringLiteral("The volume “Busy” is busy: ")), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("sleep")), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("tst_hdiutil_lif")), qPrintable(message));
        QVERIFY(fuseMountsBelow(mountPoint).contains(mountPoint));
        QCOMPARE(readAll(mountPoint + QStringLiteral("/open.txt")), QByteArray("in use"));

        open.close();
        holder.kill();
        holder.waitForFinished();
        QCOMPARE(detachVault(mountPoint).status, 0);
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    void forcedDetachKeepsWrittenData()
    {
        const QString path = vault(QStringLiteral("Forced.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Forced"), 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QFile open(mountPoint + QStringLiteral("/written.txt"));
        QVERIFY(open.open(QIODevice::WriteOnly));
        QCOMPARE(open.write("kept after force"), 16);
        open.flush();
        QCOMPARE(detachVault(mountPoint, true).status, 0);
        open.close();
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QCOMPARE(readAll(attachVault(path, m_password) + QStringLiteral("/written.txt")),
                 QByteArray("kept after force"));
    }

    void anotherUserCannotReadAMountedVault()
    {
        const QString path = vault(QStringLiteral("Mine.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Mine"), 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeAll(mountPoint + QStringLiteral("/secret.txt"), "only mine"));
        QVERIFY(QFile::setPermissions(m_env.root(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                        QFileDevice::ExeOwner | QFileDevice::ExeOther |
                                                        QFileDevice::ReadOther));
        QVERIFY(QFile::setPermissions(m_env.home(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                        QFileDevice::ExeOwner | QFileDevice::ExeOther |
                                                        QFileDevice::ReadOther));
        for (const QStringList &command :
             {QStringList{QStringLiteral("cat"), mountPoint + QStringLiteral("/secret.txt")},
              QStringList{QStringLiteral("ls"), mountPoint}}) {
            QProcess other;
            other.start(QStringLiteral("setpriv"),
                        QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups")} +
                            command);
            QVERIFY(other.waitForFinished());
            QVERIFY2(other.exitCode() != 0, qPrintable(command.join(' ')));
            QVERIFY(!other.readAllStandardOutput().contains("only mine"));
        }
    }
};

QTEST_GUILESS_MAIN(TestHdiutilLifecycle)
#include "tst_hdiutil_lifecycle.moc"

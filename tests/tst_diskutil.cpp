#include "ToolHarness.h"

// Renaming and checking mounted volumes, and keeping them out of the desktop indexers.
class TestDiskutil : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "volume-pass";

    [[nodiscard]] QString vault(const QString &name) const { return m_env.home() + QLatin1Char('/') + name; }
    static ToolRun diskutil(const QStringList &arguments)
    {
        return runTool(QStringLiteral("diskutil"), arguments);
    }

private Q_SLOTS:
    void cleanup()
    {
        detachEverything(m_env.root());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(daemonsMentioning(m_env.root()).isEmpty());
    }

    void renameMovesTheMountPointAndSticks()
    {
        const QString path = vault(QStringLiteral("Old.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Old Name"), 64, m_password).status, 0);
        const QString hidden = attachVault(path, m_password, true);
        QVERIFY(hidden.endsWith(QStringLiteral("/Old Name")));
        QVERIFY(writeAll(hidden + QStringLiteral("/kept.txt"), "kept"));

        // A name no folder can carry is refused before anything changes.
        const ToolRun tooLong = diskutil({QStringLiteral("rename"), hidden, QString(256, QLatin1Char('n'))});
        QVERIFY(tooLong.status != 0);
        QVERIFY2(tooLong.err.contains("File name too long"), tooLong.err.constData());
        QCOMPARE(detachVault(hidden).status, 0);
        QCOMPARE(attachVault(path, m_password, true), hidden);
        QCOMPARE(readAll(hidden + QStringLiteral("/kept.txt")), QByteArray("kept"));

        // A name longer than an ext4 label holds survives whole.
        const QString newName = QStringLiteral("A much longer name for the vault ✓");
        const ToolRun rename = diskutil({QStringLiteral("rename"), hidden, newName});
        QCOMPARE(rename.status, 0);
        QVERIFY(!QFileInfo::exists(hidden));
        QVERIFY(fuseMountsBelow(m_env.root()).filter(newName).size() == 1);
        QCOMPARE(detachVault(QFileInfo(hidden).path() + QLatin1Char('/') + newName).status, 0);

        const QString visible = attachVault(path, m_password);
        QCOMPARE(visible, m_env.home() + QStringLiteral("/Vaults/") + newName);
        QCOMPARE(readAll(visible + QStringLiteral("/kept.txt")), QByteArray("kept"));
        QVERIFY(diskutil({QStringLiteral("rename"), m_env.home(), QStringLiteral("X")}).status != 0);
    }

    void cleanVolumeVerifies()
    {
        const QString path = vault(QStringLiteral("Sound.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Sound"), 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeAll(mountPoint + QStringLiteral("/a.txt"), QByteArray(300000, 'a')));
        const ToolRun verify = diskutil({QStringLiteral("verifyVolume"), mountPoint});
        QCOMPARE(verify.status, 0);
        QVERIFY(verify.out.contains("File system check exit code is 0."));
        // The volume is back where it was, with its files.
        QCOMPARE(readAll(mountPoint + QStringLiteral("/a.txt")), QByteArray(300000, 'a'));
    }

    void damagedEncryptedBlocksAreReported()
    {
        const QString path = vault(QStringLiteral("Damaged.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Damaged"), 64, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeAll(mountPoint + QStringLiteral("/big.bin"), QByteArray(8 * 1024 * 1024, 'x')));
        QCOMPARE(detachVault(mountPoint).status, 0);

        // Flip bytes in the middle of the ciphertext, where the file's blocks are.
        QFile cipher(path + QStringLiteral("/cipher/disk.img"));
        QVERIFY(cipher.open(QIODevice::ReadWrite));
        const QByteArray content = cipher.readAll();
        qint64 damaged = 0;
        for (qint64 at = 18 + 4128 * 64; at < content.size() && damaged < 200; at += 4128 * 97) {
            if (content.mid(at, 64).count('\0') == 64)
                continue;
            cipher.seek(at + 40);
            cipher.write(QByteArray(16, '\x5a'));
            ++damaged;
        }
        cipher.close();
        QVERIFY(damaged > 10);

        mountPoint = attachVault(path, m_password);
        QVERIFY(!mountPoint.isEmpty());
        const ToolRun verify = diskutil({QStringLiteral("verifyVolume"), mountPoint});
        QVERIFY(verify.status != 0);
        QVERIFY(!verify.out.contains("exit code is 0"));
        QVERIFY2(verify.out.contains("damaged"), verify.out.constData());
        QVERIFY(fuseMountsBelow(m_env.root()).contains(mountPoint));
    }

    void damagedFileSystemIsReported()
    {
        const QString path = vault(QStringLiteral("Broken.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Broken"), 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeAll(mountPoint + QStringLiteral("/file.txt"), "data"));
        QCOMPARE(detachVault(mountPoint).status, 0);
        // Damage the file system from inside the encryption: open the layer by hand with
        // gocryptfs and let debugfs clear the inode bitmap bit of the file.
        const QString layer = m_env.root() + QStringLiteral("/layer");
        QDir().mkpath(layer);
        QProcess gocryptfs;
        gocryptfs.start(QStringLiteral("gocryptfs"),
                        {QStringLiteral("-q"), path + QStringLiteral("/cipher"), layer});
        gocryptfs.write(m_password + '\n');
        gocryptfs.closeWriteChannel();
        QVERIFY(gocryptfs.waitForFinished());
        QCOMPARE(gocryptfs.exitCode(), 0);
        QCOMPARE(QProcess::execute(QStringLiteral("/usr/sbin/debugfs"),
                                   {QStringLiteral("-w"), QStringLiteral("-R"),
                                    QStringLiteral("freei file.txt"), layer + QStringLiteral("/disk.img")}),
                 0);
        QCOMPARE(QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), layer}), 0);
        QTest::qWait(300);

        const QString mountPoint2 = attachVault(path, m_password);
        QVERIFY(!mountPoint2.isEmpty());
        const ToolRun verify = diskutil({QStringLiteral("verifyVolume"), mountPoint2});
        QVERIFY(verify.status != 0);
        QVERIFY(!verify.out.contains("exit code is 0"));
        // The checker's findings come last, ending with its exit code.
        const QList<QByteArray> lines = verify.out.trimmed().split('\n');
        QVERIFY(lines.last().startsWith("File system check exit code is "));
        QVERIFY2(verify.out.contains("file.txt"), verify.out.constData());
        // The volume stays mounted after the check.
        QVERIFY(fuseMountsBelow(m_env.root()).contains(mountPoint2));
    }

    void indexingMarkers()
    {
        const QString path = vault(QStringLiteral("Quiet.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Quiet"), 64, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        // Baloo's settings are edited as text: only the exclusion line changes.
        const QString baloo = m_env.config() + QStringLiteral("/baloofilerc");
        const QByteArray original =
            "# mine\n[Basic Settings]\nIndexing-Enabled=true\n\n[General]\n"
            "folders[$e]=$HOME/\nexclude folders[$e]=/srv/a\\,b/\nonly basic indexing=true";
        QVERIFY(writeAll(baloo, original));
        const auto mdutil = [&](const QString &state) {
            return runTool(QStringLiteral("mdutil"), {QStringLiteral("-i"), state, mountPoint}).status;
        };
        QCOMPARE(mdutil(QStringLiteral("off")), 0);
        QVERIFY(QFile::exists(mountPoint + QStringLiteral("/.trackerignore")));
        QVERIFY(QFile::exists(mountPoint + QStringLiteral("/.nomedia")));
        QByteArray excluded = original;
        excluded.replace("/srv/a\\,b/", "/srv/a\\,b/," + mountPoint.toUtf8() + '/');
        QCOMPARE(readAll(baloo), excluded);
        // Twice changes nothing and still succeeds; on again gives back the user's file exactly.
        QCOMPARE(mdutil(QStringLiteral("off")), 0);
        QCOMPARE(readAll(baloo), excluded);
        QCOMPARE(mdutil(QStringLiteral("on")), 0);
        QCOMPARE(readAll(baloo), original);
        QVERIFY(!QFile::exists(mountPoint + QStringLiteral("/.nomedia")));
        // A file without the line gets it in its group.
        QVERIFY(writeAll(baloo, "[General]\nfolders[$e]=$HOME/\n"));
        QCOMPARE(mdutil(QStringLiteral("off")), 0);
        QCOMPARE(readAll(baloo),
                 "[General]\nexclude folders[$e]=" + mountPoint.toUtf8() + "/\nfolders[$e]=$HOME/\n");
        QVERIFY(runTool(QStringLiteral("mdutil"),
                        {QStringLiteral("-i"), QStringLiteral("off"), m_env.root() + QStringLiteral("/none")})
                    .status != 0);
    }
};

QTEST_GUILESS_MAIN(TestDiskutil)
#include "tst_diskutil.moc"

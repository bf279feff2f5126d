#include "ToolHarness.h"

#include <algorithm>

// Renaming and checking mounted volumes, and keeping them out of the desktop indexers.
class TestDiskutil : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "volume-pass";

    [[nodiscard]] QString vault(const QString &name) const { return m_env.home() + QLatin1Char('/') + name; }
    static ToolRun diskutil(const QStringList &arguments) { return runTool(u"diskutil"_s, arguments); }

private Q_SLOTS:
    void cleanup() { detachAndExpectNothingLeft(m_env.root()); }

    void renameMovesTheMountPointAndSticks()
    {
        const QString path = vault(u"Old.sparsebundle"_s);
        QCOMPARE(createVault(path, u"Old Name"_s, 64, m_password).status, 0);
        const QString hidden = attachVault(path, m_password, true);
        QVERIFY(hidden.endsWith(u"/Old Name"_s));
        QVERIFY(writeAll(hidden + u"/kept.txt"_s, "kept"));

        // A name no folder can carry is refused before anything changes.
        const ToolRun tooLong = diskutil({u"rename"_s, hidden, QString(256, QLatin1Char('n'))});
        QVERIFY(tooLong.status != 0);
        QVERIFY2(tooLong.err.contains("File name too long"), tooLong.err.constData());
        QCOMPARE(detachVault(hidden).status, 0);
        QCOMPARE(attachVault(path, m_password, true), hidden);
        QCOMPARE(readAll(hidden + u"/kept.txt"_s), QByteArray("kept"));

        // A name longer than an ext4 label holds survives whole.
        const QString newName = u"A much longer name for the vault ✓"_s;
        const ToolRun rename = diskutil({u"rename"_s, hidden, newName});
        QCOMPARE(rename.status, 0);
        QVERIFY(!QFileInfo::exists(hidden));
        QVERIFY(fuseMountsBelow(m_env.root()).filter(newName).size() == 1);
        QCOMPARE(detachVault(QFileInfo(hidden).path() + QLatin1Char('/') + newName).status, 0);

        const QString visible = attachVault(path, m_password);
        QCOMPARE(visible, m_env.home() + u"/Vaults/"_s + newName);
        QCOMPARE(readAll(visible + u"/kept.txt"_s), QByteArray("kept"));
        QVERIFY(diskutil({u"rename"_s, m_env.home(), u"X"_s}).status != 0);
    }

    // Damage in the file system inside and in the ciphertext: the check of the mounted volume
    // reports both, each damaged block once and the checker's findings last, and the volume stays.
    void damageIsReported()
    {
        const QString path = vault(u"Damaged.sparsebundle"_s);
        QString mountPoint = attachNewVault(path, m_password);
        QVERIFY(writeAll(mountPoint + u"/big.bin"_s, QByteArray(8 * 1024 * 1024, 'x')));
        QVERIFY(writeAll(mountPoint + u"/file.txt"_s, "data"));
        QCOMPARE(detachVault(mountPoint).status, 0);

        // Through the encryption, opened by hand: debugfs clears the inode bitmap bit of a file.
        const QString layer = m_env.root() + u"/layer"_s;
        QVERIFY(openWithGocryptfs(path, layer, m_password));
        QCOMPARE(QProcess::execute(u"/usr/sbin/debugfs"_s,
                                   {u"-w"_s, u"-R"_s, u"freei file.txt"_s, layer + u"/disk.img"_s}),
                 0);
        QCOMPARE(QProcess::execute(u"fusermount3"_s, {u"-u"_s, layer}), 0);
        QTest::qWait(300);
        // In the ciphertext: bytes flipped in the middle, where the big file's blocks are.
        QFile cipher(path + u"/cipher/disk.img"_s);
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
        const ToolRun verify = verifyVolume(mountPoint);
        QVERIFY(verify.status != 0);
        QVERIFY(!verify.out.contains("exit code is 0"));
        QVERIFY2(verify.out.contains(u"%1 more damaged regions"_s.arg(damaged - 3).toUtf8()), verify.out.constData());
        // Each finding with the answer a check that changes nothing gives, ending with its exit code.
        QVERIFY2(verify.out.contains("? no"), verify.out.constData());
        QVERIFY(verify.out.trimmed().split('\n').last().startsWith("File system check exit code is "));
        QVERIFY(fuseMountsBelow(m_env.root()).contains(mountPoint));
        // How far it is goes to standard error as it runs, in order, up to the end, each line saying
        // something new; the checker's own progress lines stay out of the report.
        QList<int> percents;
        QByteArray lastStage, previous;
        for (const QByteArray &line : verify.err.split('\n')) {
            if (line.startsWith("progress: ")) {
                QVERIFY2(line != previous, line.constData());
                previous = line;
                percents << line.split(' ').value(1).toInt();
                lastStage = line.mid(line.indexOf(' ', 10) + 1);
            }
        }
        QVERIFY2(percents.size() >= 5 && std::is_sorted(percents.begin(), percents.end()) && percents.last() == 100,
                 verify.err.constData());
        QCOMPARE(lastStage, QByteArray("Checking the encrypted data"));
        QVERIFY(!QString::fromUtf8(verify.out).contains(QRegularExpression(u"^[1-5] \\d+ \\d+ /"_s,
                                                                           QRegularExpression::MultilineOption)));

        // Asked to stop, the check ends without a verdict and the volume is back where it was.
        const ToolRun stopped = runToolAskedToStop(u"diskutil"_s, {u"verifyVolume"_s, mountPoint});
        QCOMPARE(stopped.status, 143);
        QVERIFY2(stopped.err.contains("verifyVolume failed - stopped on request"), stopped.err.constData());
        QVERIFY(!stopped.out.contains("exit code is"));
        QVERIFY(processesOf(u"e2fsck"_s, m_env.root()).isEmpty());
        QVERIFY(fuseMountsBelow(m_env.root()).contains(mountPoint));
        QCOMPARE(readAll(mountPoint + u"/file.txt"_s), QByteArray("data"));
    }

    void indexingMarkers()
    {
        const QString path = vault(u"Quiet.sparsebundle"_s);
        const QString mountPoint = attachNewVault(path, m_password);
        // Baloo's settings are edited as text: only the exclusion line changes.
        const QString baloo = m_env.config() + u"/baloofilerc"_s;
        const QByteArray original =
            "# mine\n[Basic Settings]\nIndexing-Enabled=true\n\n[General]\n"
            "folders[$e]=$HOME/\nexclude folders[$e]=/srv/a\\,b/\nonly basic indexing=true";
        QVERIFY(writeAll(baloo, original));
        const auto mdutil = [&](const QString &state) {
            return runTool(u"mdutil"_s, {u"-i"_s, state, mountPoint}).status;
        };
        QCOMPARE(mdutil(u"off"_s), 0);
        QVERIFY(QFile::exists(mountPoint + u"/.trackerignore"_s));
        QVERIFY(QFile::exists(mountPoint + u"/.nomedia"_s));
        QByteArray excluded = original;
        excluded.replace("/srv/a\\,b/", "/srv/a\\,b/," + mountPoint.toUtf8() + '/');
        QCOMPARE(readAll(baloo), excluded);
        // Twice changes nothing and still succeeds; on again gives back the user's file exactly.
        QCOMPARE(mdutil(u"off"_s), 0);
        QCOMPARE(readAll(baloo), excluded);
        QCOMPARE(mdutil(u"on"_s), 0);
        QCOMPARE(readAll(baloo), original);
        QVERIFY(!QFile::exists(mountPoint + u"/.nomedia"_s));
        // A file without the line gets it in its group.
        QVERIFY(writeAll(baloo, "[General]\nfolders[$e]=$HOME/\n"));
        QCOMPARE(mdutil(u"off"_s), 0);
        QCOMPARE(readAll(baloo),
                 "[General]\nexclude folders[$e]=" + mountPoint.toUtf8() + "/\nfolders[$e]=$HOME/\n");
        QVERIFY(runTool(u"mdutil"_s, {u"-i"_s, u"off"_s, m_env.root() + u"/none"_s}).status != 0);
    }
};

QTEST_GUILESS_MAIN(TestDiskutil)
#include "tst_diskutil.moc"

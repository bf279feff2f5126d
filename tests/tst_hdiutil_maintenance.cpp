#include "ToolHarness.h"

// Re-keying, resizing, compacting and checking passwords of locked vaults.
class TestHdiutilMaintenance : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "maintain-pass";

    [[nodiscard]] QString vault(const QString &name) const { return m_env.home() + QLatin1Char('/') + name; }

    // Writes a file of random bytes into the vault and answers them.
    static QByteArray fillWithRandom(const QString &file, int megabytes)
    {
        runProgram(u"sh"_s, {u"-c"_s, u"head -c %1M /dev/urandom > \"$0\""_s.arg(megabytes), file});
        return readAll(file);
    }

private Q_SLOTS:
    void cleanup() { detachAndExpectNothingLeft(m_env.root()); }

    // imageinfo checks the password without mounting and shows no key material; chpass re-keys,
    // past an interrupted earlier change, and refuses a new password gocryptfs could not read back.
    void passwordsAreCheckedAndChanged()
    {
        const QString path = vault(u"Rekey.sparsebundle"_s);
        QCOMPARE(createVault(path, u"Rekey"_s, 64, m_password).status, 0);
        const QStringList imageinfo{u"imageinfo"_s, u"-stdinpass"_s, path};
        const ToolRun good = hdiutil(imageinfo, m_password);
        QCOMPARE(good.status, 0);
        QVERIFY(good.out.contains("Size limit: 67108864 bytes"));
        const QByteArray config = readAll(path + u"/cipher/gocryptfs.conf"_s);
        QVERIFY(!good.out.contains("EncryptedKey"));
        QVERIFY(config.contains("EncryptedKey"));
        const ToolRun bad = hdiutil(imageinfo, "wrong");
        QVERIFY(bad.status != 0);
        QVERIFY(bad.err.contains("Authentication"));
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(QDir(m_env.runtime() + u"/hollowkeep"_s).entryList({u"check-*"_s}, QDir::Dirs).isEmpty());
        // A damaged Info.plist gives no made-up limit.
        QVERIFY(writeAll(path + u"/Info.plist"_s,
                         "<plist><dict><key>size</key><integer>-5</integer></dict></plist>"));
        const ToolRun damaged = hdiutil(imageinfo, m_password);
        QCOMPARE(damaged.status, 0);
        QVERIFY2(damaged.out.contains("Size limit: unknown"), damaged.out.constData());
        const QStringList chpass{u"chpass"_s, u"-oldstdinpass"_s, u"-newstdinpass"_s, path};

        const ToolRun wrongOld = hdiutil(chpass, QByteArray("not-it\0other-pass\0", 18));
        QVERIFY(wrongOld.status != 0);
        QVERIFY(wrongOld.err.contains("Authentication"));

        // A change that was interrupted before does not stand in the way.
        QVERIFY(writeAll(path + u"/cipher/gocryptfs.conf.tmp"_s, "{half"));
        QCOMPARE(hdiutil(chpass, m_password + '\0' + "second-pass" + '\0').status, 0);
        QVERIFY(attachVault(path, m_password).isEmpty());
        QVERIFY(!attachVault(path, "second-pass").isEmpty());
        // A new password that gocryptfs could not read back is refused and changes nothing.
        detachEverything(m_env.root());
        const ToolRun refused = hdiutil(chpass, QByteArray("second-pass\0bad\nline\0", 21));
        QVERIFY(refused.status != 0);
        QVERIFY(refused.err.contains("line break"));
        QVERIFY(!attachVault(path, "second-pass").isEmpty());
    }

    void resizeGrowsAndShrinksKeepingData()
    {
        const QString path = vault(u"Elastic.sparsebundle"_s);
        QString mountPoint = attachNewVault(path, m_password);
        const QByteArray data = fillWithRandom(mountPoint + u"/data.bin"_s, 40);
        QCOMPARE(detachVault(mountPoint).status, 0);

        const auto resize = [&](const QString &size, const QByteArray &password) {
            return hdiutil({u"resize"_s, u"-stdinpass"_s, u"-size"_s, size, path}, password);
        };
        QVERIFY(resize(u"512m"_s, "wrong").err.contains("Authentication"));
        const ToolRun grown = resize(u"512m"_s, m_password);
        QCOMPARE(grown.status, 0);
        QVERIFY2(grown.err.trimmed().endsWith("progress: 90 Changing the size limit\nprogress: 100 Changing the size limit"),
                 grown.err.constData());
        QVERIFY(readAll(path + u"/Info.plist"_s).contains("<integer>536870912</integer>"));
        mountPoint = attachVault(path, m_password);
        // The file system inside has grown with the limit.
        QVERIFY(QStorageInfo(mountPoint).bytesTotal() > 400 * 1024 * 1024);
        QCOMPARE(readAll(mountPoint + u"/data.bin"_s), data);

        // Resizing an attached vault is refused.
        QVERIFY(resize(u"256m"_s, m_password).status != 0);
        QCOMPARE(detachVault(mountPoint).status, 0);

        // Below the space in use: refused with "Invalid argument", nothing changes.
        const ToolRun tooSmall = resize(u"32m"_s, m_password);
        QVERIFY(tooSmall.status != 0);
        QVERIFY2(tooSmall.err.contains("Invalid argument"), tooSmall.err.constData());
        QVERIFY(readAll(path + u"/Info.plist"_s).contains("<integer>536870912</integer>"));

        // The lowest limit the tools name, in whole megabytes, is one a shrink accepts.
        const auto limits = [&](const QByteArray &password) {
            return hdiutil({u"resize"_s, u"-limits"_s, u"-stdinpass"_s, path}, password);
        };
        QVERIFY(limits("wrong").err.contains("Authentication"));
        const QList<QByteArray> reported = limits(m_password).out.trimmed().split(' ');
        QCOMPARE(reported.size(), 3);
        const qint64 lowest = reported[0].toLongLong(), megabyte = 1024 * 1024;
        QVERIFY2(lowest > 40 * megabyte && lowest < 512 * megabyte && lowest % megabyte == 0, reported[0].constData());
        QCOMPARE(reported[1], QByteArray("536870912"));
        QCOMPARE(resize(u"%1m"_s.arg(lowest / megabyte), m_password).status, 0);
        QVERIFY(readAll(path + u"/Info.plist"_s).contains("<integer>" + QByteArray::number(lowest) + "</integer>"));
        mountPoint = attachVault(path, m_password);
        QVERIFY(QStorageInfo(mountPoint).bytesTotal() <= lowest);
        QCOMPARE(readAll(mountPoint + u"/data.bin"_s), data);
    }

    // A file removed the moment it was closed is gone at once, not parked as a hidden file that
    // keeps its blocks. The volume daemon gives its space back at once; with the fallback engine a
    // compaction does.
    void compactGivesSpaceBack()
    {
        const QString path = vault(u"Roomy.sparsebundle"_s);
        QString mountPoint = attachNewVault(path, m_password, 256);
        const QByteArray kept = fillWithRandom(mountPoint + u"/kept.bin"_s, 8);
        // Each removal races the close before it; four of them rarely all win.
        for (int i = 0; i < 4; ++i) {
            QVERIFY(writeAll(mountPoint + u"/deleted-%1.bin"_s.arg(i), QByteArray(8 << 20, 'd')));
            QVERIFY(QFile::remove(mountPoint + u"/deleted-%1.bin"_s.arg(i)));
        }
        QCOMPARE(QDir(mountPoint).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{u"kept.bin"_s, u"lost+found"_s}));
        QCOMPARE(detachVault(mountPoint).status, 0);

        const qint64 before = diskUsageBytes(path);
        if (fallbackEngine())
            QVERIFY2(before > 14 * 1024 * 1024, qPrintable(QString::number(before)));
        else
            QVERIFY2(before < 24 * 1024 * 1024, qPrintable(QString::number(before)));
        // Asked to stop, it still finishes its check and repair, then gives nothing back.
        const ToolRun stopped = runToolAskedToStop(u"hdiutil"_s, {u"compact"_s, u"-stdinpass"_s, path}, m_password);
        QCOMPARE(stopped.status, 143);
        QVERIFY2(stopped.err.contains("progress: 0 Checking files") && !stopped.err.contains("Giving free space back"),
                 stopped.err.constData());
        QVERIFY(diskUsageBytes(path) > before - 1024 * 1024);
        const ToolRun compact = hdiutil({u"compact"_s, u"-stdinpass"_s, path}, m_password);
        QCOMPARE(compact.status, 0);
        QVERIFY(compact.out.startsWith("Reclaimed "));
        // It said how far it was, the check first, up to the end.
        const QList<QByteArray> progress = compact.err.trimmed().split('\n');
        QVERIFY2(progress.size() >= 3 && progress.first().startsWith("progress: 0 Checking files") &&
                     progress.last() == "progress: 100 Giving free space back",
                 compact.err.constData());
        const qint64 after = diskUsageBytes(path);
        if (fallbackEngine())
            QVERIFY2(after < before - 6 * 1024 * 1024, qPrintable(u"%1 -> %2"_s.arg(before).arg(after)));
        QVERIFY(after > 8 * 1024 * 1024 && after < 24 * 1024 * 1024);

        // The file system is still sound after the holes were punched; checked while mounted, the
        // volume stays where it was, with its files.
        mountPoint = attachVault(path, m_password);
        VERIFY_SOUND(mountPoint);
        QCOMPARE(readAll(mountPoint + u"/kept.bin"_s), kept);
        QVERIFY(hdiutil({u"compact"_s, u"-stdinpass"_s, path}, m_password).status != 0);
    }
};

QTEST_GUILESS_MAIN(TestHdiutilMaintenance)
#include "tst_hdiutil_maintenance.moc"

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
        QFile random(QStringLiteral("/dev/urandom"));
        random.open(QIODevice::ReadOnly);
        const QByteArray bytes = random.read(qint64(megabytes) * 1024 * 1024);
        writeAll(file, bytes);
        return bytes;
    }

private Q_SLOTS:
    void cleanup()
    {
        detachEverything(m_env.root());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(daemonsMentioning(m_env.root()).isEmpty());
    }

    void changePasswordRekeys()
    {
        const QString path = vault(QStringLiteral("Rekey.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Rekey"), 64, m_password).status, 0);
        const QStringList chpass{QStringLiteral("chpass"), QStringLiteral("-oldstdinpass"),
                                 QStringLiteral("-newstdinpass"), path};

        const ToolRun wrongOld = hdiutil(chpass, QByteArray("not-it\0other-pass\0", 18));
        QVERIFY(wrongOld.status != 0);
        QVERIFY(wrongOld.err.contains("Authentication"));

        // A change that was interrupted before does not stand in the way.
        QVERIFY(writeAll(path + QStringLiteral("/cipher/gocryptfs.conf.tmp"), "{half"));
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

    void imageinfoOnlyChecksThePassword()
    {
        const QString path = vault(QStringLiteral("Check.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Check"), 64, m_password).status, 0);
        const QStringList imageinfo{QStringLiteral("imageinfo"), QStringLiteral("-stdinpass"), path};
        const ToolRun good = hdiutil(imageinfo, m_password);
        QCOMPARE(good.status, 0);
        QVERIFY(good.out.contains("Size limit: 67108864 bytes"));
        const QByteArray config = readAll(path + QStringLiteral("/cipher/gocryptfs.conf"));
        QVERIFY(!good.out.contains("EncryptedKey"));
        QVERIFY(config.contains("EncryptedKey"));
        const ToolRun bad = hdiutil(imageinfo, "wrong");
        QVERIFY(bad.status != 0);
        QVERIFY(bad.err.contains("Authentication"));
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QVERIFY(QDir(m_env.runtime() + QStringLiteral("/hollowkeep"))
                    .entryList({QStringLiteral("check-*")}, QDir::Dirs)
                    .isEmpty());
        // A damaged Info.plist gives no made-up limit.
        QVERIFY(writeAll(path + QStringLiteral("/Info.plist"),
                         "<plist><dict><key>size</key><integer>-5</integer></dict></plist>"));
        const ToolRun damaged = hdiutil(imageinfo, m_password);
        QCOMPARE(damaged.status, 0);
        QVERIFY2(damaged.out.contains("Size limit: unknown"), damaged.out.constData());
    }

    void resizeGrowsAndShrinksKeepingData()
    {
        const QString path = vault(QStringLiteral("Elastic.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Elastic"), 64, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        const QByteArray data = fillWithRandom(mountPoint + QStringLiteral("/data.bin"), 40);
        QCOMPARE(detachVault(mountPoint).status, 0);

        const auto resize = [&](const QString &size, const QByteArray &password) {
            return hdiutil(
                {QStringLiteral("resize"), QStringLiteral("-stdinpass"), QStringLiteral("-size"), size, path},
                password);
        };
        QVERIFY(resize(QStringLiteral("512m"), "wrong").err.contains("Authentication"));
        QCOMPARE(resize(QStringLiteral("512m"), m_password).status, 0);
        QVERIFY(readAll(path + QStringLiteral("/Info.plist")).contains("<integer>536870912</integer>"));
        mountPoint = attachVault(path, m_password);
        // The file system inside has grown with the limit.
        QVERIFY(QStorageInfo(mountPoint).bytesTotal() > 400 * 1024 * 1024);
        QCOMPARE(readAll(mountPoint + QStringLiteral("/data.bin")), data);

        // Resizing an attached vault is refused.
        QVERIFY(resize(QStringLiteral("256m"), m_password).status != 0);
        QCOMPARE(detachVault(mountPoint).status, 0);

        // Below the space in use: refused with "Invalid argument", nothing changes.
        const ToolRun tooSmall = resize(QStringLiteral("32m"), m_password);
        QVERIFY(tooSmall.status != 0);
        QVERIFY2(tooSmall.err.contains("Invalid argument"), tooSmall.err.constData());
        QVERIFY(readAll(path + QStringLiteral("/Info.plist")).contains("<integer>536870912</integer>"));

        QCOMPARE(resize(QStringLiteral("48m"), m_password).status, 0);
        QVERIFY(readAll(path + QStringLiteral("/Info.plist")).contains("<integer>50331648</integer>"));
        mountPoint = attachVault(path, m_password);
        QVERIFY(QStorageInfo(mountPoint).bytesTotal() <= 48 * 1024 * 1024);
        QCOMPARE(readAll(mountPoint + QStringLiteral("/data.bin")), data);
    }

    void compactGivesSpaceBack()
    {
        const QString path = vault(QStringLiteral("Roomy.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Roomy"), 256, m_password).status, 0);
        QString mountPoint = attachVault(path, m_password);
        const QByteArray kept = fillWithRandom(mountPoint + QStringLiteral("/kept.bin"), 8);
        fillWithRandom(mountPoint + QStringLiteral("/deleted.bin"), 64);
        QCOMPARE(detachVault(mountPoint).status, 0);
        mountPoint = attachVault(path, m_password);
        QVERIFY(QFile::remove(mountPoint + QStringLiteral("/deleted.bin")));
        QCOMPARE(detachVault(mountPoint).status, 0);

        const qint64 before = diskUsageBytes(path);
        QVERIFY(before > 64 * 1024 * 1024);
        const ToolRun compact =
            hdiutil({QStringLiteral("compact"), QStringLiteral("-stdinpass"), path}, m_password);
        QCOMPARE(compact.status, 0);
        QVERIFY(compact.out.startsWith("Reclaimed "));
        const qint64 after = diskUsageBytes(path);
        QVERIFY2(after < before - 60 * 1024 * 1024,
                 qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
        QVERIFY(after > 8 * 1024 * 1024);

        mountPoint = attachVault(path, m_password);
        QCOMPARE(readAll(mountPoint + QStringLiteral("/kept.bin")), kept);
        QVERIFY(!QFile::exists(mountPoint + QStringLiteral("/deleted.bin")));
        // The file system is still sound after the holes were punched.
        const ToolRun verify =
            runTool(QStringLiteral("diskutil"), {QStringLiteral("verifyVolume"), mountPoint});
        QCOMPARE(verify.status, 0);
        QVERIFY(verify.out.contains("exit code is 0"));
        QVERIFY(hdiutil({QStringLiteral("compact"), QStringLiteral("-stdinpass"), path}, m_password).status !=
                0);
    }

    // A file removed the moment it was closed is gone at once, not parked as a hidden file that
    // keeps its blocks; compacting then gives them back.
    void removingRightAfterClosingFreesTheSpace()
    {
        const QString path = vault(QStringLiteral("Hasty.sparsebundle"));
        QCOMPARE(createVault(path, QStringLiteral("Hasty"), 256, m_password).status, 0);
        const QString mountPoint = attachVault(path, m_password);
        QVERIFY(writeAll(mountPoint + QStringLiteral("/scratch.bin"), QByteArray(32 << 20, 'x')));
        QVERIFY(QFile::remove(mountPoint + QStringLiteral("/scratch.bin")));
        QCOMPARE(QDir(mountPoint).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("lost+found")});
        QCOMPARE(detachVault(mountPoint).status, 0);
        const qint64 before = diskUsageBytes(path);
        QCOMPARE(hdiutil({QStringLiteral("compact"), QStringLiteral("-stdinpass"), path}, m_password).status,
                 0);
        const qint64 after = diskUsageBytes(path);
        QVERIFY2(after < before - 28 * 1024 * 1024,
                 qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
    }
};

QTEST_GUILESS_MAIN(TestHdiutilMaintenance)
#include "tst_hdiutil_maintenance.moc"

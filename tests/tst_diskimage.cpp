#include "FakeTools.h"
#include "diskimage/DiskImage.h"

#include <QElapsedTimer>
#include <QTest>

using namespace DiskImage;

namespace {

const QString image = u"/vaults/My Vault.sparsebundle"_s;

// The error as the exception type asked for; empty when it is another or none.
template <typename E>
std::optional<E> caught(const std::exception_ptr &error)
{
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const E &e) {
        return e;
    } catch (...) {
    }
    return std::nullopt;
}

QString errorText(const std::exception_ptr &error)
{
    const auto launch = caught<LaunchError>(error);
    const auto failure = caught<DiskImageError>(error);
    return launch ? describeError(*launch) : failure ? describeError(*failure) : QString();
}

bool isBadPassword(const std::exception_ptr &error)
{
    const auto failure = caught<DiskImageError>(error);
    return failure && failure->kind() == DiskImageError::Kind::BadPassword;
}

} // namespace

class TestDiskImage : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    FakeTools m_tools;

private Q_SLOTS:
    void init() { m_tools.reset(); }

    // The message each failure shows, and whether it counts as a wrong password.
    void failureMessages_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("stderr");
        QTest::addColumn<QString>("message");
        const QByteArray refused = "attach failed - AUTHENTICATION error";
        QTest::newRow("create") << "hdiutil-create" << QByteArray("hdiutil: failed - boom\n")
                                << "Could not create vault: hdiutil: failed - boom\n";
        QTest::newRow("create never reports a password")
            << "hdiutil-create" << refused << "Could not create vault: " + QString::fromLatin1(refused);
        QTest::newRow("detach") << "hdiutil-detach"
                                << QByteArray("The volume “V” is busy: vim still has files open.")
                                << "Could not lock vault — a file inside may still be open: The volume “V” "
                                   "is busy: vim still has files open.";
        QTest::newRow("detach, not UTF-8") << "hdiutil-detach" << QByteArray("\xff\xfe busy")
                                           << "Could not lock vault — a file inside may still be open: ";
        QTest::newRow("resize password first")
            << "hdiutil-resize" << QByteArray("Invalid argument; authentication error") << "Wrong password.";
        for (const char *key : {"hdiutil-attach", "hdiutil-chpass", "hdiutil-compact", "hdiutil-imageinfo"})
            QTest::newRow(key) << QString::fromLatin1(key) << refused << "Wrong password.";
    }

    void failureMessages()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, stderr);
        QFETCH(QString, message);
        m_tools.respond(key, {}, stderr, 1);
        const QString pw = u"pw"_s;
        const std::map<QString, std::function<std::exception_ptr()>> operations{
            {u"hdiutil-create"_s, [&] { return awaitTask(create(image, u"V"_s, 64, pw)).error; }},
            {u"hdiutil-attach"_s, [&] { return awaitTask(attach(image, pw, false)).error; }},
            {u"hdiutil-detach"_s, [&] { return awaitTask(detach(u"/mnt/v"_s, false)).error; }},
            {u"hdiutil-chpass"_s, [&] { return awaitTask(changePassword(image, pw, pw)).error; }},
            {u"hdiutil-resize"_s, [&] { return awaitTask(resize(image, 64, pw)).error; }},
            {u"hdiutil-compact"_s, [&] { return awaitTask(compact(image, pw)).error; }},
            {u"hdiutil-imageinfo"_s, [&] { return awaitTask(verifyPassword(image, pw)).error; }}};
        const std::exception_ptr error = operations.at(key)();
        QVERIFY(error);
        QCOMPARE(errorText(error), message);
        QCOMPARE(isBadPassword(error), message == "Wrong password."_L1);
    }

    void attachNeedsAMountPoint_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("mountPoint");
        QTest::newRow("not a plist") << QByteArray("/dev/disk4\t/Volumes/V") << QString();
        QTest::newRow("mount point of the wrong type")
            << QByteArray("<plist><dict><key>system-entities</key><array><dict><key>mount-point</"
                          "key><integer>3</integer></dict></array></dict></plist>")
            << QString();
        QTest::newRow("first entity with a mount point wins")
            << attachPlist({QString(), "/mnt/a", "/mnt/b"}) << "/mnt/a";
        QTest::newRow("escaped text") << attachPlist({"/mnt/Tom &amp; Jerry"}) << "/mnt/Tom & Jerry";
        QTest::newRow("with what was repaired")
            << attachPlist({"/mnt/a"}).replace("</dict></plist>",
                                               "<key>repair-report</key><string>Repaired.</string></dict></plist>")
            << "/mnt/a";
    }

    void attachNeedsAMountPoint()
    {
        QFETCH(QByteArray, output);
        QFETCH(QString, mountPoint);
        m_tools.respond(u"hdiutil-attach"_s, output);
        const Awaited<DiskImage::Attached> outcome = awaitTask(attach(image, u"pw"_s, false));
        if (mountPoint.isEmpty()) {
            QCOMPARE(errorText(outcome.error), u"Vault unlocked but no mount point was reported."_s);
        } else {
            QCOMPARE(outcome.value->mountPoint, mountPoint);
            QCOMPARE(outcome.value->repairReport, output.contains("repair-report") ? u"Repaired."_s : QString());
        }
    }

    void attachedImagesAndLookup()
    {
        const QString real = m_env.home() + u"/Real.sparsebundle"_s;
        const QString link = m_env.home() + u"/Link.sparsebundle"_s;
        QVERIFY(QDir().mkpath(real));
        QVERIFY(QFile::link(real, link));
        m_tools.respond(u"hdiutil-info"_s, infoPlist({{real, "/mnt/real"},
                                                      {"/no/mount.sparsebundle", QString()},
                                                      {"/other.sparsebundle", "/mnt/other"}}));
        const QMap<QString, QString> images = awaitTask(attachedImages()).value->value();
        QCOMPARE(images.size(), 2);
        QCOMPARE(images.value(real), u"/mnt/real"_s);
        QVERIFY(!images.contains(u"/no/mount.sparsebundle"_s));
        // Found through a path that differs only by a symbolic link.
        QCOMPARE(awaitTask(mountPoint(link)).value->value_or(QString()), u"/mnt/real"_s);
        QVERIFY(!awaitTask(mountPoint(u"/elsewhere.sparsebundle"_s)).value->has_value());

        // A failed tool tells nothing; an answer without images, that none is attached.
        m_tools.respond(u"hdiutil-info"_s, infoPlist({{real, "/mnt/real"}}), {}, 1);
        QVERIFY(!awaitTask(attachedImages()).value->has_value());
        QVERIFY(!awaitTask(mountPoint(real)).value->has_value());
        m_tools.respond(u"hdiutil-info"_s, "<plist><dict><key>images</key><string>x</string></dict></plist>");
        QVERIFY(awaitTask(attachedImages()).value->value().isEmpty());
    }

    void sizeOnDiskReadsKilobytes()
    {
        QCOMPARE(sizeFromDuOutput("2048\t/vaults/V.sparsebundle\n"), 2097152);
        QCOMPARE(sizeFromDuOutput("\t\t12\t/x"), 12288);
        QCOMPARE(sizeFromDuOutput("abc\t/x"), 0);
        QCOMPARE(sizeFromDuOutput(""), 0);
        m_tools.respond(u"du"_s, "2048\t/vaults\n");
        QCOMPARE(awaitTask(sizeOnDisk(image)).value, 2097152);
        m_tools.respond(u"du"_s, "2048\t/vaults\n", "du: cannot access", 1);
        QCOMPARE(awaitTask(sizeOnDisk(image)).value, 0);
        // Many images in few runs, each size by its path.
        m_tools.clearCalls();
        QStringList many;
        for (int i = 0; i < 201; ++i)
            many << u"/vaults/V %1.sparsebundle"_s.arg(i);
        m_tools.respondSizeKB(3);
        const QHash<QString, qint64> sizes = *awaitTask(sizesOnDisk(many)).value;
        QCOMPARE(sizes.size(), 201);
        QCOMPARE(sizes.value(many.last()), 3072);
        QCOMPARE(m_tools.calls().size(), 2);
        QFile::remove(m_tools.folder() + u"/du"_s);
        QCOMPARE(awaitTask(sizeOnDisk(image)).value, 0);
        QFile::link(QStringLiteral(TESTS_DATA_DIR "/fake-tool"), m_tools.folder() + u"/du"_s);
    }

    void verifyAttachesChecksAndDetaches_data()
    {
        QTest::addColumn<QByteArray>("checkOut");
        QTest::addColumn<QByteArray>("checkErr");
        QTest::addColumn<int>("checkStatus");
        QTest::addColumn<QString>("result");
        QTest::newRow("healthy") << QByteArray("Started\nFile system check exit code is 0.\nFinished\n")
                                 << QByteArray() << 0 << "healthy";
        QTest::newRow("phrase but failed") << QByteArray("a\n\nb\nc\nexit code is 0\n") << QByteArray("d\n")
                                           << 1 << "Verification reported problems:\nc\nexit code is 0\nd";
        QTest::newRow("clean status, no phrase")
            << QByteArray("one\ntwo\n") << QByteArray() << 0 << "Verification reported problems:\none\ntwo";
        QTest::newRow("phrase case matters") << QByteArray("Exit Code Is 0\n") << QByteArray() << 0
                                             << "Verification reported problems:\nExit Code Is 0";
    }

    void verifyAttachesChecksAndDetaches()
    {
        QFETCH(QByteArray, checkOut);
        QFETCH(QByteArray, checkErr);
        QFETCH(int, checkStatus);
        QFETCH(QString, result);
        m_tools.respond(u"hdiutil-attach"_s, attachPlist({u"/mnt/hidden"_s}));
        m_tools.respond(u"diskutil-verifyVolume"_s, checkOut, checkErr, checkStatus);
        m_tools.respond(u"hdiutil-info"_s, infoPlist({{image, "/mnt/moved"}}));
        const Awaited<QString> outcome = awaitTask(verify(image, u"pw"_s));
        QCOMPARE(outcome.value ? *outcome.value : errorText(outcome.error), result);
        const QList<FakeTools::Call> calls = m_tools.calls();
        QCOMPARE(calls.size(), 4);
        QCOMPARE(calls[0].arguments, (QStringList{"attach", "-plist", "-stdinpass", "-nobrowse", image}));
        QCOMPARE(calls[1].arguments, (QStringList{"verifyVolume", "/mnt/hidden"}));
        QCOMPARE(calls[2].arguments, (QStringList{"info", "-plist"}));
        // The volume is detached where it is now.
        QCOMPARE(calls[3].arguments, (QStringList{"detach", "/mnt/moved"}));
    }

    // The check's progress arrives while it runs and stays out of what it reports.
    void verifyReportsProgressAsItComes()
    {
        m_tools.respond(u"hdiutil-attach"_s, attachPlist({u"/mnt/hidden"_s}));
        m_tools.script(u"diskutil-verifyVolume"_s, "echo 'progress: 12 Checking folders' >&2; sleep 1\n"
                                                   "echo 'progress: 95 Checking the encrypted data' >&2\n");
        m_tools.respond(u"diskutil-verifyVolume"_s, "File system check exit code is 0.\n", "one warning\n", 1);
        m_tools.respond(u"hdiutil-info"_s, infoPlist({{image, "/mnt/hidden"}}));
        QElapsedTimer clock;
        clock.start();
        QList<QPair<int, QString>> seen;
        qint64 firstSeenAt = -1;
        const ProgressObserver observe = [&](int percent, const QString &stage) {
            if (seen.isEmpty())
                firstSeenAt = clock.elapsed();
            seen.append({percent, stage});
        };
        const Awaited<QString> outcome = awaitTask(verify(image, u"pw"_s, observe));
        QCOMPARE(seen, (QList<QPair<int, QString>>{{12, u"Checking folders"_s}, {95, u"Checking the encrypted data"_s}}));
        QVERIFY2(firstSeenAt >= 0 && firstSeenAt < clock.elapsed() - 500, qPrintable(QString::number(firstSeenAt)));
        QCOMPARE(errorText(outcome.error),
                 u"Verification reported problems:\nFile system check exit code is 0.\none warning"_s);
    }

    void verifyEdgeCases()
    {
        // A wrong password runs nothing else.
        m_tools.respond(u"hdiutil-attach"_s, {}, "Authentication error", 1);
        QVERIFY(isBadPassword(awaitTask(verify(image, u"pw"_s)).error));
        QCOMPARE(m_tools.calls().size(), 1);

        // No check tool: the volume is still detached, from where it was attached.
        m_tools.reset();
        m_tools.respond(u"hdiutil-attach"_s, attachPlist({u"/mnt/hidden"_s}));
        m_tools.respond(u"hdiutil-detach"_s, {}, "busy", 1);
        QFile::remove(m_tools.folder() + u"/diskutil"_s);
        QCOMPARE(errorText(awaitTask(verify(image, u"pw"_s)).error), u"Verification could not be run."_s);
        QCOMPARE(m_tools.calls().last().arguments, (QStringList{"detach", "/mnt/hidden"}));
        QFile::link(QStringLiteral(TESTS_DATA_DIR "/fake-tool"), m_tools.folder() + u"/diskutil"_s);

        // A check that runs past its time limit: the volume is detached all the same.
        m_tools.reset();
        m_tools.respond(u"hdiutil-attach"_s, attachPlist({u"/mnt/hidden"_s}));
        m_tools.script(u"diskutil-verifyVolume"_s, "sleep 30\n");
        setTimeLimitCap(std::chrono::milliseconds(500));
        const QString stopped = errorText(awaitTask(verify(image, u"pw"_s)).error);
        setTimeLimitCap(std::chrono::milliseconds(0));
        QCOMPARE(stopped, u"“diskutil verifyVolume” did not finish within 1 second and was stopped."_s);
        QCOMPARE(m_tools.calls().last().arguments, (QStringList{"detach", "/mnt/hidden"}));
    }

    void runCollectsEverything()
    {
        // A program that does not exist is a launch error, never a result.
        QVERIFY(caught<LaunchError>(awaitTask(run(u"/no/such/tool"_s, {})).error));

        // Standard input is a pipe that ends at once without data, and carries data exactly.
        const QString sh = u"/bin/sh"_s;
        QCOMPARE(awaitTask(run(sh, {u"-c"_s, u"wc -c"_s})).value->stdoutData.trimmed(), QByteArray("0"));
        QCOMPARE(awaitTask(run(sh, {u"-c"_s, u"wc -c"_s}, QByteArray())).value->stdoutData.trimmed(),
                 QByteArray("0"));
        const QByteArray data("a\0b\nc", 5);
        QCOMPARE(awaitTask(run(u"/bin/cat"_s, {}, data)).value->stdoutData, data);

        // Much output on both streams does not stall, and every byte arrives.
        const Awaited<ProcessResult> loud = awaitTask(
            run(sh, {u"-c"_s, u"head -c 3000000 /dev/zero >&2; head -c 2000000 /dev/zero; exit 3"_s}));
        QCOMPARE(loud.value->status, 3);
        QCOMPARE(loud.value->stderrData.size(), 3000000);
        QCOMPARE(loud.value->stdoutData.size(), 2000000);

        // A child that exits without reading its input is still a normal result.
        const Awaited<ProcessResult> deaf =
            awaitTask(run(u"/bin/true"_s, {}, QByteArray(4 * 1024 * 1024, 'x')));
        QCOMPARE(deaf.value->status, 0);

        // A tool that hangs is stopped after its time-out, with a message.
        QElapsedTimer clock;
        clock.start();
        const Awaited<ProcessResult> stuck =
            awaitTask(run(u"/bin/sleep"_s, {u"30"_s}, std::nullopt, std::chrono::milliseconds(300)));
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(errorText(stuck.error), u"“sleep 30” did not finish within 1 second and was stopped."_s);
    }
};

QTEST_GUILESS_MAIN(TestDiskImage)
#include "tst_diskimage.moc"

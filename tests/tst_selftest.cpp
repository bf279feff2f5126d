#include "FakeTools.h"

#include <QProcess>
#include <QTest>

// `hollowkeep --selftest` against stand-in tools that can be made to misbehave at each step.
class TestSelfTest : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    std::unique_ptr<FakeTools> m_tools;

    [[nodiscard]] QString mountPlace(const QString &name) const
    {
        return m_tools->folder() + u"/mnt/"_s + name;
    }

    static QByteArray attachAnswer(const QString &mountPoint)
    {
        return "<plist><dict><key>system-entities</key><array><dict><key>mount-point</key><string>" +
               mountPoint.toUtf8() + "</string></dict></array></dict></plist>";
    }

    void respondAttach(int call, const QString &mountPoint)
    {
        m_tools->respond(u"hdiutil-attach"_s, attachAnswer(mountPoint), {}, 0, call);
    }
    void refuseAttach(int call, const QByteArray &message)
    {
        m_tools->respond(u"hdiutil-attach"_s, {}, message, 1, call);
    }

    struct Result
    {
        int status = -1;
        QByteArray out;
    };

    [[nodiscard]] Result runSelfTest() const
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, m_env.root() + u"/tmp"_s);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(HOLLOWKEEP_EXE), {u"--selftest"_s});
        process.waitForFinished(60000);
        return {process.exitCode(), process.readAllStandardOutput()};
    }

private Q_SLOTS:
    void init()
    {
        m_tools = std::make_unique<FakeTools>();
        QDir().mkpath(m_env.root() + u"/tmp"_s);
        // Every mount point the stand-in reports is one folder, like one volume attached anew.
        QDir().mkpath(mountPlace(u"volume"_s));
        for (const char *name : {"AmbrySelfTest", "AmbrySelfTest2", "hidden"})
            QFile::link(mountPlace(u"volume"_s), mountPlace(QLatin1String(name)));
        const QString folder = m_tools->folder();
        m_tools->script(u"hdiutil-create"_s, "mkdir -p \"${@: -1}\"\n");
        respondAttach(1, mountPlace(u"AmbrySelfTest"_s));
        refuseAttach(2, "hdiutil: attach failed - Authentication error\n");
        respondAttach(3, mountPlace(u"hidden"_s));
        m_tools->script(u"hdiutil-attach"_s, "echo \"${@: -1}\" > \"$dir/attached-image\"\n", 3);
        refuseAttach(4, "hdiutil: attach failed - Authentication error\n");
        respondAttach(5, mountPlace(u"AmbrySelfTest2"_s));
        m_tools->script(
            u"hdiutil-info"_s,
            "printf '<plist><dict><key>images</key><array><dict><key>image-path</key><string>%s</string>"
            "<key>system-entities</key><array><dict><key>mount-point</key><string>%s</string></dict></array>"
            "</dict></array></dict></plist>' \"$(cat \"$dir/attached-image\")\" "
            "\"$dir/mnt/AmbrySelfTest2\"\n");
        Q_UNUSED(folder);
    }

    void cleanup()
    {
        // Every ending removes the test folder.
        QCOMPARE(QDir(m_env.root() + u"/tmp"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        m_tools.reset();
    }

    void passesWhenEveryStepDoes()
    {
        const Result result = runSelfTest();
        QCOMPARE(result.out, QByteArray("SELFTEST OK\n"));
        QCOMPARE(result.status, 0);
        const QList<FakeTools::Call> calls = m_tools->calls();
        QStringList verbs;
        for (const FakeTools::Call &call : calls)
            verbs << call.tool + QLatin1Char(' ') + call.arguments.value(0);
        QCOMPARE(verbs, (QStringList{"hdiutil create", "hdiutil attach", "hdiutil detach", "hdiutil attach",
                                     "hdiutil attach", "diskutil rename", "hdiutil info", "hdiutil detach",
                                     "hdiutil chpass", "hdiutil attach", "hdiutil resize", "hdiutil resize",
                                     "hdiutil attach", "hdiutil detach"}));
        QCOMPARE(calls[0].arguments.mid(9, 3), (QStringList{"256m", "-volname", "AmbrySelfTest"}));
        QCOMPARE(calls[0].input, QByteArray("checkrun-word"));
        QCOMPARE(calls[3].input, QByteArray("bogus-word"));
        QVERIFY(calls[4].arguments.contains(u"-nobrowse"_s));
        QVERIFY(calls[4].arguments.last().endsWith(u"/SelfTest.nosync"_s));
        QCOMPARE(calls[5].arguments, (QStringList{"rename", mountPlace(u"hidden"_s), "AmbrySelfTest2"}));
        QCOMPARE(calls[7].arguments, (QStringList{"detach", mountPlace(u"AmbrySelfTest2"_s)}));
        QCOMPARE(calls[8].input, QByteArray("checkrun-word\0checkrun-word-2\0", 30));
        QCOMPARE(calls[10].arguments.mid(2, 2), (QStringList{"-size", "512m"}));
        QCOMPARE(calls[11].arguments.mid(2, 2), (QStringList{"-size", "256m"}));
        QCOMPARE(calls[12].input, QByteArray("checkrun-word-2"));
        QCOMPARE(readAll(mountPlace(u"volume"_s) + u"/probe.txt"_s), QByteArray("hello"));
    }

    void namedFailures_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("create fails")
            << 0 << QByteArray("SELFTEST FAIL: Could not create vault: hdiutil: create failed - no room\n\n");
        QTest::newRow("wrong password accepted")
            << 1 << QByteArray("SELFTEST FAIL: wrong password was accepted\n");
        QTest::newRow("wrong password as a plain failure")
            << 2
            << QByteArray("SELFTEST FAIL: Could not unlock vault: hdiutil: attach failed - image not "
                          "recognized\n\n");
        QTest::newRow("renamed volume not found")
            << 3 << QByteArray("SELFTEST FAIL: renamed volume not found among attached images\n");
        QTest::newRow("old password accepted")
            << 4 << QByteArray("SELFTEST FAIL: old password still accepted after change\n");
        QTest::newRow("rename did not stick")
            << 5 << QByteArray("SELFTEST FAIL: volume rename did not stick\n");
        QTest::newRow("rename did not stick, detach failed too")
            << 6 << QByteArray("SELFTEST FAIL: volume rename did not stick\n");
        QTest::newRow("content mismatch") << 7 << QByteArray("SELFTEST FAIL: content mismatch\n");
        QTest::newRow("resize fails") << 8 << QByteArray("SELFTEST FAIL: Wrong password.\n");
        QTest::newRow("no mount point reported")
            << 9 << QByteArray("SELFTEST FAIL: Vault unlocked but no mount point was reported.\n");
        QTest::newRow("exclusion rename fails")
            << 10
            << QByteArray("SELFTEST FAIL: “SelfTest.sparsebundle” couldn’t be moved because an item with the "
                          "same name already exists.\n");
    }

    void namedFailures()
    {
        QFETCH(int, variant);
        QFETCH(QByteArray, line);
        switch (variant) {
        case 0:
            m_tools->respond(u"hdiutil-create"_s, {}, "hdiutil: create failed - no room\n", 1);
            break;
        case 1:
            respondAttach(2, mountPlace(u"AmbrySelfTest"_s));
            break;
        case 2:
            refuseAttach(2, "hdiutil: attach failed - image not recognized\n");
            break;
        case 3:
            m_tools->respond(u"hdiutil-info"_s, "<plist><dict><key>images</key><array/></dict></plist>");
            break;
        case 4:
            respondAttach(4, mountPlace(u"AmbrySelfTest"_s));
            break;
        case 5:
            respondAttach(5, mountPlace(u"AmbrySelfTest"_s));
            break;
        case 6:
            respondAttach(5, mountPlace(u"AmbrySelfTest"_s));
            m_tools->respond(u"hdiutil-detach"_s, {}, "busy", 1, 3);
            break;
        case 7:
            m_tools->script(u"hdiutil-attach"_s, "printf 'hello\\n' > \"$dir/mnt/volume/probe.txt\"\n", 5);
            break;
        case 8:
            m_tools->respond(u"hdiutil-resize"_s, {}, "hdiutil: resize failed - Authentication error\n", 1,
                             2);
            break;
        case 9:
            m_tools->respond(u"hdiutil-attach"_s, "/dev/disk4\n", {}, 0, 1);
            break;
        case 10:
            m_tools->script(u"hdiutil-create"_s,
                            "mkdir -p \"${@: -1}\" \"${1%.sparsebundle}\"; mkdir -p \"$(dirname \"${@: "
                            "-1}\")/SelfTest.nosync\"\n");
            break;
        }
        const Result result = runSelfTest();
        QCOMPARE(result.out, line);
        QCOMPARE(result.status, 1);
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"

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

    void respondAttach(int call, const QString &mountPoint)
    {
        m_tools->respond(u"hdiutil-attach"_s, attachPlist({mountPoint}), {}, 0, call);
    }
    void refuseAttach(int call, const QByteArray &message)
    {
        m_tools->respond(u"hdiutil-attach"_s, {}, message, 1, call);
    }

    [[nodiscard]] ToolRun runSelfTest() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, m_env.root() + u"/tmp"_s);
        return runProgram(QStringLiteral(HOLLOWKEEP_EXE), {u"--selftest"_s}, {}, environment);
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
    }

    void cleanup()
    {
        // Every ending removes the test folder.
        QCOMPARE(QDir(m_env.root() + u"/tmp"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        m_tools.reset();
    }

    // Each fault of the tools the self-test exists to catch, by the line it prints.
    void namedFailures_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("every step passes") << -1 << QByteArray("SELFTEST OK\n");
        QTest::newRow("create fails")
            << 0 << QByteArray("SELFTEST FAIL: Could not create vault: hdiutil: create failed - no room\n\n");
        QTest::newRow("wrong password accepted")
            << 1 << QByteArray("SELFTEST FAIL: wrong password was accepted\n");
        QTest::newRow("old password accepted")
            << 4 << QByteArray("SELFTEST FAIL: old password still accepted after change\n");
        QTest::newRow("rename did not stick")
            << 5 << QByteArray("SELFTEST FAIL: volume rename did not stick\n");
        QTest::newRow("content mismatch") << 7 << QByteArray("SELFTEST FAIL: content mismatch\n");
    }

    void namedFailures()
    {
        QFETCH(int, variant);
        QFETCH(QByteArray, line);
        switch (variant) {
        case 0:
            m_tools->respond(u"hdiutil-create"_s, {}, "hdiutil: create failed - no room\n", 1);
            break;
        case 1: // the attaches with the wrong password, the old one and after the rename
        case 4:
        case 5:
            respondAttach(variant == 1 ? 2 : variant, mountPlace(u"AmbrySelfTest"_s));
            break;
        case 7:
            m_tools->script(u"hdiutil-attach"_s, "printf 'hello\\n' > \"$dir/mnt/volume/probe.txt\"\n", 5);
            break;
        }
        const ToolRun result = runSelfTest();
        QCOMPARE(result.out, line);
        QCOMPARE(result.status, variant < 0 ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"

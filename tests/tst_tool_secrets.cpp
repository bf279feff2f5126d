#include "ToolHarness.h"

#include <atomic>
#include <thread>

// Passwords travel only on pipes: never in an argument vector, an environment or a file.
class TestToolSecrets : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

    // Reads every process's arguments and environment again and again while a tool runs.
    struct Scanner
    {
        QByteArray needle;
        std::atomic<bool> running{true};
        std::atomic<int> passes{0};
        QStringList sightings;
        std::thread thread;

        explicit Scanner(QByteArray secret) : needle(std::move(secret))
        {
            thread = std::thread([this] {
                while (running) {
                    sightings << processFilesContaining(needle);
                    ++passes;
                }
            });
        }
        ~Scanner() { stop(); }
        void stop()
        {
            running = false;
            if (thread.joinable())
                thread.join();
        }
    };

private Q_SLOTS:
    void cleanup() { detachEverything(m_env.root()); }

    void passwordsNeverLeaveThePipes()
    {
        const QByteArray first = "needle-7f3a-first";
        const QByteArray second = "needle-9c1e-second";
        const QString path = m_env.home() + u"/Secret.sparsebundle"_s;
        Scanner scanner(QByteArray("needle-"));

        const QString mountPoint = attachNewVault(path, first);
        QVERIFY(!mountPoint.isEmpty());
        QCOMPARE(detachVault(mountPoint).status, 0);
        QCOMPARE(
            hdiutil({u"chpass"_s, u"-oldstdinpass"_s, u"-newstdinpass"_s, path}, first + '\0' + second + '\0')
                .status,
            0);
        QCOMPARE(hdiutil({u"resize"_s, u"-stdinpass"_s, u"-size"_s, u"96m"_s, path}, second).status, 0);
        QVERIFY(!attachVault(path, second).isEmpty());
        scanner.stop();

        QVERIFY(scanner.passes > 20);
        QVERIFY2(scanner.sightings.isEmpty(), qPrintable(scanner.sightings.join('\n')));
        // Nor in any file: the vault, the runtime folder and the home.
        QVERIFY2(filesContaining(m_env.root(), "needle-").isEmpty(),
                 qPrintable(filesContaining(m_env.root(), "needle-").join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestToolSecrets)
#include "tst_tool_secrets.moc"

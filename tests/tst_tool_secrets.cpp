#include "ToolHarness.h"

#include <QMessageAuthenticationCode>

#include <atomic>
#include <sys/prctl.h>
#include <sys/wait.h>
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

    // The daemon that serves a vault keeps its keys only in locked memory (never swapped, never in
    // a core dump), not even OpenSSL's key schedules, has wiped the password, lets no process of
    // its user read its memory, and ends with status 0 when the vault is locked.
    void keysStayInLockedMemory()
    {
        // Orphaned daemons become this process's children, so that their end can be seen.
        QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        const QByteArray password = "needle-5d2b-keys";
        const QString bundle = m_env.home() + u"/Keys.sparsebundle"_s;
        const QString mountPoint = attachNewVault(bundle, password);
        const pid_t daemon = volumeServer(mountPoint);
        QVERIFY(daemon > 0);
        const QByteArray status = readAll(u"/proc/%1/status"_s.arg(daemon));
        const qsizetype locked = status.indexOf("VmLck:");
        QVERIFY(locked >= 0 && status.mid(locked + 6, 16).trimmed().split(' ').value(0).toLongLong() > 0);

        QProcess xray;
        xray.start(u"gocryptfs-xray"_s, {u"-dumpmasterkey"_s, bundle + u"/cipher/gocryptfs.conf"_s});
        xray.write(password + '\n');
        xray.closeWriteChannel();
        QVERIFY(xray.waitForFinished());
        const QByteArray master = QByteArray::fromHex(xray.readAllStandardOutput().trimmed());
        QCOMPARE(master.size(), 32);
        // HKDF-SHA256 with no salt separates the content key from the master key.
        const QByteArray extracted = QMessageAuthenticationCode::hash(master, QByteArray(32, '\0'), QCryptographicHash::Sha256);
        const QByteArray content = QMessageAuthenticationCode::hash("AES-GCM file content encryption\x01", extracted,
                                                                    QCryptographicHash::Sha256);

        QFile memory(u"/proc/%1/mem"_s.arg(daemon));
        if (geteuid() != 0) {
            QVERIFY2(!memory.open(QIODevice::ReadOnly), "another process of the user must not read the daemon");
        } else {
            QVERIFY(memory.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
            QStringList found;
            qint64 scanned = 0;
            // Every mapping not wholly locked is read: no key and no password may be in one.
            const QList<QByteArray> maps = readAll(u"/proc/%1/smaps"_s.arg(daemon)).split('\n');
            for (qsizetype i = 0; i < maps.size(); ++i) {
                const QList<QByteArray> fields = maps[i].split(' ');
                if (fields.size() < 2 || !fields[0].contains('-') || !fields[1].startsWith('r') ||
                    maps[i].contains("[vvar]") || maps[i].contains("[vsyscall]"))
                    continue;
                qint64 size = -1, lockedHere = -2;
                for (qsizetype j = i + 1; j < maps.size() && !maps[j].contains('-') ; ++j) {
                    if (maps[j].startsWith("Size:"))
                        size = maps[j].mid(5).trimmed().split(' ').value(0).toLongLong();
                    else if (maps[j].startsWith("Locked:"))
                        lockedHere = maps[j].mid(7).trimmed().split(' ').value(0).toLongLong();
                }
                if (size == lockedHere)
                    continue;
                const QList<QByteArray> range = fields[0].split('-');
                const qint64 from = range[0].toLongLong(nullptr, 16), to = range[1].toLongLong(nullptr, 16);
                if (!memory.seek(from))
                    continue;
                const QByteArray bytes = memory.read(to - from);
                scanned += bytes.size();
                for (const auto &[name, secret] : {std::pair{"master key", master}, std::pair{"content key", content},
                                                   std::pair{"password", password}})
                    if (bytes.contains(secret))
                        found << QString::fromUtf8(fields[0] + ' ' + maps[i].mid(maps[i].lastIndexOf(' ') + 1) + ": " + name);
            }
            QVERIFY(scanned > 1 << 20);
            QVERIFY2(found.isEmpty(), qPrintable(found.join(u'\n')));
        }

        QCOMPARE(detachVault(mountPoint).status, 0);
        int ended = 0;
        QCOMPARE(waitpid(daemon, &ended, 0), daemon);
        QVERIFY2(WIFEXITED(ended) && WEXITSTATUS(ended) == 0, qPrintable(u"daemon ended with %1"_s.arg(ended)));
    }
};

QTEST_GUILESS_MAIN(TestToolSecrets)
#include "tst_tool_secrets.moc"

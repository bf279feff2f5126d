#include "HostIoTrace.h"
#include "ToolHarness.h"

#include <QRandomGenerator>

#include <atomic>
#include <csignal>
#include <thread>

#include <sqlite3.h>

#include <functional>
#include <map>
#include <optional>
#include <random>

// What a crash or a power cut can leave of a vault. The volume daemon's writes to the host disk
// are traced while a workload runs and records when each fsync returned; disks are then rebuilt
// as they could be after a crash at some moment: everything written so far (a plain kill), each
// 4 KiB page written since its file's last sync on the disk or not (a power cut), or all but one
// such page. Each state must attach with the tools, read without errors, hold everything that
// was fsynced before that moment, and check clean.
//
// HOLLOWKEEP_CRASH_STATES sets the states per kind and workload; HOLLOWKEEP_RANDOM_SEED replays.
class TestCrashStates : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "crash-pass";
    std::mt19937_64 m_random;

    static QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

    // ---- the trace ----

    struct Op
    {
        HostIoTrace::Op op;
        QString path, other;
        qint64 offset = 0, length = 0;
        QByteArray bytes;
        qint64 end = 0; // where the next record starts: an fsync that returned at that size or later saw this
    };

    static QList<Op> readTrace(const QString &path)
    {
        const QByteArray trace = readAll(path);
        QList<Op> ops;
        for (qsizetype at = 0; at + qsizetype(sizeof(HostIoTrace::Record)) <= trace.size();) {
            HostIoTrace::Record record;
            memcpy(&record, trace.constData() + at, sizeof record);
            if (record.magic != HostIoTrace::magic)
                break;
            at += sizeof record;
            Op op{HostIoTrace::Op(record.op), QString::fromUtf8(trace.mid(at, record.pathLength)),
                  QString::fromUtf8(trace.mid(at + record.pathLength, record.otherLength)), record.offset,
                  record.length, {}, 0};
            at += record.pathLength + record.otherLength;
            if (op.op == HostIoTrace::Op::Write) {
                op.bytes = trace.mid(at, record.length);
                at += record.length;
            }
            op.end = at;
            ops << op;
        }
        return ops;
    }

    // ---- rebuilding disks ----

    enum class Kind { Kill, PowerCut, OnePageLost };

    // A file of the cipher folder as the trace changed it: each page it wrote, with every version
    // since the trace began (the first as it was before), and which version its last sync saw.
    struct TracedFile
    {
        struct Page
        {
            QList<QByteArray> versions;
            int durable = 0;
        };
        std::map<qint64, Page> pages;
        qint64 size = 0;
        bool exists = true;
    };

    struct Disk
    {
        QString snapshot; // the cipher folder when the trace began
        std::map<QString, TracedFile> files;

        TracedFile &file(const QString &path)
        {
            auto found = files.find(path);
            if (found != files.end())
                return found->second;
            TracedFile &traced = files[path];
            traced.size = QFileInfo(inSnapshot(path)).size();
            return traced;
        }
        QString inSnapshot(const QString &path) const { return snapshot + u"/"_s + QFileInfo(path).fileName(); }
        TracedFile::Page &page(const QString &path, TracedFile &traced, qint64 number)
        {
            auto found = traced.pages.find(number);
            if (found != traced.pages.end())
                return found->second;
            QFile original(inSnapshot(path));
            QByteArray bytes(4096, '\0');
            if (original.open(QIODevice::ReadOnly) && original.seek(number * 4096)) {
                const QByteArray got = original.read(4096);
                bytes.replace(0, got.size(), got);
            }
            TracedFile::Page &page = traced.pages[number];
            page.versions << bytes;
            return page;
        }
        void apply(const Op &op)
        {
            TracedFile &traced = file(op.path);
            traced.exists = op.op != HostIoTrace::Op::Remove;
            if (op.op == HostIoTrace::Op::Sync) {
                for (auto &[number, page] : traced.pages)
                    page.durable = int(page.versions.size() - 1);
                // A synced folder: every file in it has its name for good; nothing here removes one
                // but the daemon's clean end.
                return;
            }
            if (op.op == HostIoTrace::Op::Truncate) {
                traced.size = op.offset;
                return;
            }
            if (op.op == HostIoTrace::Op::Allocate) {
                traced.size = std::max(traced.size, op.offset + op.length);
                return;
            }
            if (op.op != HostIoTrace::Op::Write && op.op != HostIoTrace::Op::Punch)
                return;
            if (op.op == HostIoTrace::Op::Write)
                traced.size = std::max(traced.size, op.offset + op.length);
            for (qint64 number = op.offset / 4096; number * 4096 < op.offset + op.length; ++number) {
                TracedFile::Page &page = this->page(op.path, traced, number);
                QByteArray bytes = page.versions.last();
                const qint64 from = std::max(op.offset, number * 4096), to = std::min(op.offset + op.length, (number + 1) * 4096);
                if (op.op == HostIoTrace::Op::Write)
                    bytes.replace(from - number * 4096, to - from, op.bytes.mid(from - op.offset, to - from));
                else
                    bytes.replace(from - number * 4096, to - from, QByteArray(to - from, '\0'));
                page.versions << bytes;
            }
        }
    };

    // Writes a copy of the bundle as a crash of that kind could leave it now.
    bool rebuild(const Disk &disk, const QString &bundle, const QString &into, Kind kind)
    {
        if (QProcess::execute(u"cp"_s, {u"-a"_s, u"--sparse=always"_s, bundle, into}) != 0)
            return false;
        QList<std::pair<QString, qint64>> unsynced;
        for (const auto &[path, traced] : disk.files)
            for (const auto &[number, page] : traced.pages)
                if (page.durable < page.versions.size() - 1)
                    unsynced.append({path, number});
        const std::pair<QString, qint64> lost =
            unsynced.isEmpty() ? std::pair<QString, qint64>() : unsynced[qsizetype(m_random() % quint64(unsynced.size()))];
        for (const auto &[path, traced] : disk.files) {
            const QString target = into + u"/cipher/"_s + QFileInfo(path).fileName();
            if (!traced.exists) {
                QFile::remove(target);
                continue;
            }
            const int fd = ::open(encoded(target).constData(), O_RDWR | O_CREAT, 0600);
            if (fd < 0 || ::ftruncate(fd, traced.size) != 0)
                return false;
            for (const auto &[number, page] : traced.pages) {
                int version = int(page.versions.size() - 1);
                if (kind == Kind::PowerCut)
                    version = page.durable + int(m_random() % quint64(version - page.durable + 1));
                else if (kind == Kind::OnePageLost && lost == std::pair(path, number))
                    version = page.durable;
                const qint64 length = std::min<qint64>(4096, traced.size - number * 4096);
                if (length > 0 && ::pwrite(fd, page.versions[version].constData(), size_t(length), number * 4096) != length)
                    return false;
            }
            ::close(fd);
        }
        return true;
    }

    // ---- workloads ----

    struct Workload
    {
        QString name;
        int sizeMB = 64;
        // Runs in the vault; marks gets the trace's size each time an fsync returned.
        std::function<bool(const QString &vault, const std::function<void()> &mark)> run;
        // What must hold after a crash (a power cut, or only the process) when that many fsyncs had
        // returned; empty when it does.
        std::function<QString(const QString &vault, int durable, bool powerCut)> check;
    };

    QByteArray randomBytes(qsizetype size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(m_random());
        return bytes;
    }

    static bool syncFolder(const QString &path)
    {
        const int fd = ::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        return synced;
    }

    Workload smallFiles()
    {
        auto contents = std::make_shared<QList<QByteArray>>();
        for (int i = 0; i < 200; ++i)
            *contents << randomBytes(1 + qsizetype(m_random() % 9000));
        return {u"200 files, fsync each"_s, 64,
                [contents](const QString &vault, const std::function<void()> &mark) {
                    for (int i = 0; i < contents->size(); ++i) {
                        if (!writeSynced(vault + u"/file-%1"_s.arg(i), contents->at(i)))
                            return false;
                        mark();
                    }
                    return true;
                },
                [contents](const QString &vault, int durable, bool) {
                    for (int i = 0; i < durable; ++i) {
                        if (readAll(vault + u"/file-%1"_s.arg(i)) != contents->at(i))
                            return u"file-%1, fsynced, is not as written"_s.arg(i);
                    }
                    return QString();
                }};
    }

    Workload overwrites()
    {
        // The file as first written, then pieces written over it, each made durable.
        struct Steps
        {
            QByteArray first;
            QList<std::pair<qint64, QByteArray>> pieces;
        };
        auto steps = std::make_shared<Steps>();
        steps->first = randomBytes(20 << 20);
        for (int i = 0; i < 24; ++i)
            steps->pieces.append({qint64(m_random() % ((20 << 20) / 4096 - 16)) * 4096, randomBytes(64 * 1024)});
        return {u"overwrite inside a 20 MiB file, fsync"_s, 64,
                [steps](const QString &vault, const std::function<void()> &mark) {
                    if (!writeSynced(vault + u"/large"_s, steps->first))
                        return false;
                    mark();
                    QFile file(vault + u"/large"_s);
                    if (!file.open(QIODevice::ReadWrite))
                        return false;
                    for (const auto &[offset, bytes] : steps->pieces) {
                        if (!file.seek(offset) || file.write(bytes) != bytes.size() || !file.flush() ||
                            ::fsync(file.handle()) != 0)
                            return false;
                        mark();
                    }
                    return true;
                },
                [steps](const QString &vault, int durable, bool) {
                    if (durable == 0)
                        return QString();
                    QByteArray expected = steps->first, next;
                    for (int i = 0; i + 1 < durable; ++i)
                        expected.replace(steps->pieces[i].first, steps->pieces[i].second.size(), steps->pieces[i].second);
                    next = expected;
                    if (durable - 1 < steps->pieces.size())
                        next.replace(steps->pieces[durable - 1].first, steps->pieces[durable - 1].second.size(),
                                     steps->pieces[durable - 1].second);
                    const QByteArray found = readAll(vault + u"/large"_s);
                    if (found.size() != expected.size())
                        return u"large, fsynced, has %1 bytes"_s.arg(found.size());
                    for (qsizetype at = 0; at < found.size(); at += 4096) {
                        const QByteArray block = found.mid(at, 4096);
                        if (block != expected.mid(at, 4096) && block != next.mid(at, 4096))
                            return u"large: the block at %1 is neither the fsynced nor the newer one"_s.arg(at);
                    }
                    return QString();
                }};
    }

    Workload replaces()
    {
        auto rounds = std::make_shared<QList<QByteArray>>(); // round r replaces doc-(r % 4)
        for (int r = 0; r < 64; ++r)
            *rounds << randomBytes(2000 + qsizetype(m_random() % 20000));
        return {u"write tmp, fsync, rename over, fsync folder"_s, 64,
                [rounds](const QString &vault, const std::function<void()> &mark) {
                    for (int r = 0; r < rounds->size(); ++r) {
                        if (!writeSynced(vault + u"/doc.tmp"_s, rounds->at(r)) ||
                            ::rename(encoded(vault + u"/doc.tmp"_s).constData(),
                                     encoded(vault + u"/doc-%1"_s.arg(r % 4)).constData()) != 0 ||
                            !syncFolder(vault))
                            return false;
                        mark();
                    }
                    return true;
                },
                [rounds](const QString &vault, int durable, bool) {
                    for (int t = 0; t < 4; ++t) {
                        int last = -1;
                        for (int r = t; r < durable; r += 4)
                            last = r;
                        const QString path = vault + u"/doc-%1"_s.arg(t);
                        const std::optional<QByteArray> found =
                            QFileInfo::exists(path) ? std::optional(readAll(path)) : std::nullopt;
                        const bool inFlight = durable < rounds->size() && durable % 4 == t;
                        if (found == (last >= 0 ? std::optional(rounds->at(last)) : std::nullopt) ||
                            (inFlight && found == rounds->at(durable)))
                            continue;
                        return u"doc-%1 is neither its fsynced content nor the one being renamed over it"_s.arg(t);
                    }
                    return QString();
                }};
    }

    Workload database()
    {
        return {u"sqlite3, 300 transactions, synchronous=FULL"_s, 64,
                [](const QString &vault, const std::function<void()> &mark) {
                    sqlite3 *db = nullptr;
                    if (sqlite3_open(encoded(vault + u"/data.db"_s).constData(), &db) != SQLITE_OK)
                        return false;
                    bool ok = sqlite3_exec(db, "PRAGMA synchronous=FULL; CREATE TABLE t(id INTEGER PRIMARY KEY, "
                                               "version INTEGER, v BLOB)", nullptr, nullptr, nullptr) == SQLITE_OK;
                    for (int i = 1; ok && i <= 300; ++i) {
                        // Each transaction adds a row and rewrites an older one.
                        const QByteArray sql = "BEGIN; INSERT INTO t VALUES(" + QByteArray::number(i) + ", " +
                                               QByteArray::number(i) + ", randomblob(" + QByteArray::number(200 + i * 7 % 3000) +
                                               ")); UPDATE t SET version = " + QByteArray::number(i) +
                                               ", v = randomblob(900) WHERE id = " + QByteArray::number(i / 2 + 1) + "; COMMIT";
                        ok = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
                        if (ok)
                            mark();
                    }
                    sqlite3_close(db);
                    return ok;
                },
                [](const QString &vault, int durable, bool powerCut) {
                    sqlite3 *db = nullptr;
                    if (sqlite3_open(encoded(vault + u"/data.db"_s).constData(), &db) != SQLITE_OK)
                        return u"the database does not open"_s;
                    QString problem;
                    QStringList answers;
                    const auto query = [&](const char *sql) {
                        answers.clear();
                        char *error = nullptr;
                        sqlite3_exec(db, sql, [](void *data, int count, char **values, char **) {
                            for (int i = 0; i < count; ++i)
                                static_cast<QStringList *>(data)->append(QString::fromUtf8(values[i] ? values[i] : ""));
                            return 0;
                        }, &answers, &error);
                        if (error) {
                            problem = QString::fromUtf8(error);
                            sqlite3_free(error);
                        }
                    };
                    query("PRAGMA integrity_check");
                    if (problem.isEmpty() && answers != QStringList{u"ok"_s})
                        problem = u"integrity check: "_s + answers.join(u' ');
                    if (problem.isEmpty() && durable > 0) {
                        // Whole transactions only: the state after some n of them, n at least those
                        // whose commit returned. With synchronous=FULL a commit ends by removing
                        // the rollback journal without syncing its folder, so after a power cut
                        // sqlite itself may roll the last one back (EXTRA would sync it).
                        query("SELECT count(*), coalesce(max(version), 0) FROM t");
                        const int rows = answers.value(0).toInt(), newest = answers.value(1).toInt();
                        if (rows < durable - (powerCut ? 1 : 0) || rows > durable + 1 || newest != rows)
                            problem = u"%1 rows (newest change %2) after %3 commits"_s.arg(rows).arg(newest).arg(durable);
                    }
                    sqlite3_close(db);
                    return problem;
                }};
    }

    // ---- running ----

    struct Tally
    {
        int states = 0, attachFailed = 0, lost = 0, readErrors = 0, unclean = 0, repaired = 0;
    };

    // Runs the workload with the daemon traced, then checks crash states of each kind.
    void runWorkload(const Workload &workload, Tally &tally)
    {
        const QString root = m_env.root() + u"/"_s + QString::number(qHash(workload.name));
        const QString bundle = root + u"/Crash.sparsebundle"_s;
        QVERIFY(QDir().mkpath(root));
        QCOMPARE(createVault(bundle, u"Crash"_s, workload.sizeMB, m_password).status, 0);
        // The vault as the trace finds it: every disk is rebuilt from here.
        const QString snapshot = root + u"/Snapshot.sparsebundle"_s;
        QCOMPARE(QProcess::execute(u"cp"_s, {u"-a"_s, u"--sparse=always"_s, bundle, snapshot}), 0);
        Disk disk;
        disk.snapshot = snapshot + u"/cipher"_s;
        const QString trace = root + u"/trace"_s;
        qputenv("LD_PRELOAD", HOST_IO_LIBRARY);
        qputenv("HOLLOWKEEP_HOST_IO_TRACE", encoded(trace));
        qputenv("HOLLOWKEEP_HOST_IO_WITHIN", encoded(QFileInfo(bundle).canonicalFilePath() + u"/cipher"_s));
        const ToolRun attached = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, bundle}, m_password);
        qunsetenv("LD_PRELOAD");
        qunsetenv("HOLLOWKEEP_HOST_IO_TRACE");
        QVERIFY2(attached.status == 0, attached.err.constData());
        const QString vault = mountPointIn(attached.out);
        QList<qint64> marks;
        QVERIFY(workload.run(vault, [&] { marks << QFileInfo(trace).size(); }));
        const qint64 finished = QFileInfo(trace).size();
        QCOMPARE(detachVault(vault).status, 0);
        const QList<Op> ops = readTrace(trace);
        QVERIFY(!ops.isEmpty() && !marks.isEmpty());

        // Moments to crash at, each the end of a traced call before the workload finished.
        const int perKind = countFromEnvironment("HOLLOWKEEP_CRASH_STATES", 6);
        QList<qsizetype> moments;
        while (moments.size() < perKind * 3) {
            const qsizetype at = qsizetype(m_random() % quint64(ops.size()));
            if (ops[at].end <= finished)
                moments << at;
        }
        std::sort(moments.begin(), moments.end());
        qsizetype applied = 0;
        for (qsizetype i = 0; i < moments.size(); ++i) {
            while (applied <= moments[i])
                disk.apply(ops[applied++]);
            const qint64 now = ops[moments[i]].end;
            const int durable = int(std::count_if(marks.begin(), marks.end(), [&](qint64 mark) { return mark <= now; }));
            const Kind kind = Kind(i % 3);
            const QString state = root + u"/state-%1"_s.arg(i);
            QVERIFY(rebuild(disk, snapshot, state, kind));
            ++tally.states;
            const QString where = u"%1, %2 state after call %3 of %4 (%5 fsyncs returned)"_s.arg(
                workload.name, QStringList{u"kill"_s, u"power-cut"_s, u"one-page-lost"_s}[int(kind)]).arg(moments[i]).arg(ops.size()).arg(durable);
            const ToolRun attach = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, state}, m_password);
            if (attach.status != 0) {
                ++tally.attachFailed;
                qWarning("%s: attach failed: %s", qPrintable(where), attach.err.constData());
                continue;
            }
            tally.repaired += attach.out.contains("repair-report") ? 1 : 0;
            const QString mounted = mountPointIn(attach.out);
            int readErrors = 0;
            for (QDirIterator it(mounted, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
                QFile file(it.next());
                if (!file.open(QIODevice::ReadOnly))
                    ++readErrors;
                while (file.isOpen() && !file.atEnd() && file.error() == QFile::NoError)
                    file.read(1 << 20);
                readErrors += file.error() == QFile::NoError ? 0 : 1;
            }
            if (readErrors) {
                ++tally.readErrors;
                qWarning("%s: %d files gave read errors", qPrintable(where), readErrors);
            }
            if (const QString problem = workload.check(mounted, durable, kind != Kind::Kill); !problem.isEmpty()) {
                ++tally.lost;
                qWarning("%s: %s", qPrintable(where), qPrintable(problem));
            }
            const ToolRun check = verifyVolume(mounted);
            if (check.status != 0 || !check.out.contains("exit code is 0.")) {
                ++tally.unclean;
                qWarning("%s: not clean: %s", qPrintable(where), qPrintable(QString::fromUtf8(check.out).right(600)));
            }
            QCOMPARE(detachVault(mounted).status, 0);
            QDir(state).removeRecursively();
        }
    }

private Q_SLOTS:
    void initTestCase() { m_random.seed(randomSeed()); }

    void cleanup() { detachAndExpectNothingLeft(m_env.root()); }

    void everyStateKeepsWhatWasSynced_data()
    {
        QTest::addColumn<int>("workload");
        QTest::newRow("small files") << 0;
        QTest::newRow("overwrite") << 1;
        QTest::newRow("replace by rename") << 2;
        QTest::newRow("sqlite") << 3;
    }

    void everyStateKeepsWhatWasSynced()
    {
        QFETCH(int, workload);
        const Workload chosen = workload == 0 ? smallFiles() : workload == 1 ? overwrites()
                                : workload == 2                ? replaces()
                                                               : database();
        Tally tally;
        runWorkload(chosen, tally);
        qInfo("%s: %d states, attach failed %d, fsynced data lost %d, read errors %d, not clean %d, repaired %d",
              qPrintable(chosen.name), tally.states, tally.attachFailed, tally.lost, tally.readErrors, tally.unclean,
              tally.repaired);
        QCOMPARE(tally.attachFailed + tally.lost + tally.readErrors + tally.unclean, 0);
    }

    // A rename that returned survives a kill that follows at once, also of a file never fsynced:
    // the daemon wrote it to the host disk before it answered.
    void renameThenKillKeepsTheNewFile_data()
    {
        QTest::addColumn<int>("delay");
        for (const int delay : {0, 300, 900})
            QTest::newRow(qPrintable(u"killed after %1 ms"_s.arg(delay))) << delay;
    }

    void renameThenKillKeepsTheNewFile()
    {
        QFETCH(int, delay);
        const QString bundle = m_env.home() + u"/Renamed %1.sparsebundle"_s.arg(delay);
        QString vault = attachNewVault(bundle, m_password);
        QVERIFY(writeSynced(vault + u"/A"_s, "old\n") && syncFolder(vault));
        QTest::qWait(2500); // past any write back of what came before
        QVERIFY(writeAll(vault + u"/A.tmp"_s, "new\n"));
        QCOMPARE(::rename(encoded(vault + u"/A.tmp"_s).constData(), encoded(vault + u"/A"_s).constData()), 0);
        QTest::qWait(delay);
        QCOMPARE(kill(volumeServer(vault), SIGKILL), 0);
        detachEverything(m_env.root());
        vault = attachVault(bundle, m_password);
        QCOMPARE(readAll(vault + u"/A"_s), QByteArray("new\n"));
    }

    // The daemon killed at random moments of a mixed workload, round after round: every file whose
    // fsync returned is intact, a deleted name is gone, and a name a rename was replacing holds the
    // old content or the new one.
    void killedAtRandomMomentsLosesNothingSynced()
    {
        const QString bundle = m_env.home() + u"/Killed.sparsebundle"_s;
        QCOMPARE(createVault(bundle, u"Killed"_s, 128, m_password).status, 0);
        std::map<QString, QByteArray> synced;
        struct Pending
        {
            QString name;
            std::optional<QByteArray> content; // the new content of a rename, none for a delete
        };
        std::optional<Pending> pending;
        const int rounds = countFromEnvironment("HOLLOWKEEP_KILL_ROUNDS", 50);
        // What a file that should hold its content holds instead: a loss and a read error differ.
        const auto described = [](const QString &path) -> QString {
            QFile file(path);
            if (!file.exists())
                return u"missing"_s;
            if (!file.open(QIODevice::ReadOnly))
                return u"cannot be opened: "_s + file.errorString();
            const QByteArray bytes = file.readAll();
            return file.error() != QFile::NoError ? u"a read failed: "_s + file.errorString()
                                                  : u"%1 bytes"_s.arg(bytes.size());
        };
        const auto check = [&](const QString &vault) -> QString {
            for (const auto &[name, content] : synced) {
                const QString path = vault + u"/"_s + name;
                const bool exists = QFileInfo::exists(path);
                const QByteArray found = readAll(path);
                if (pending && pending->name == name &&
                    ((!pending->content && !exists) || (pending->content && found == *pending->content)))
                    continue;
                if (found != content)
                    return u"%1 is not as it was made safe (%2, instead of %3 bytes)"_s.arg(name, described(path)).arg(content.size());
            }
            if (pending && pending->content && !synced.count(pending->name) && QFileInfo::exists(vault + u"/"_s + pending->name) &&
                readAll(vault + u"/"_s + pending->name) != *pending->content)
                return u"%1 holds neither nothing nor what was renamed over it"_s.arg(pending->name);
            return QString();
        };
        int replayed = 0;
        for (int round = 0; round < rounds; ++round) {
            const ToolRun attach = hdiutil({u"attach"_s, u"-plist"_s, u"-stdinpass"_s, bundle}, m_password);
            QVERIFY2(attach.status == 0, attach.err.constData());
            replayed += attach.out.contains("repair-report") ? 1 : 0;
            const QString vault = mountPointIn(attach.out);
            const QString problem = check(vault);
            QVERIFY2(problem.isEmpty(), qPrintable(u"round %1: %2"_s.arg(round).arg(problem)));
            pending.reset();
            std::mt19937_64 random(m_random());
            std::atomic<bool> stop = false;
            std::thread worker([&] {
                for (int i = 0; !stop; ++i) {
                    const int kind = int(random() % 10);
                    if (kind < 4 || synced.empty()) {
                        const QString name = u"f-%1-%2"_s.arg(round).arg(i);
                        const QByteArray content(1 + qsizetype(random() % 65536), char('a' + random() % 26));
                        if (!writeSynced(vault + u"/"_s + name, content))
                            return;
                        synced[name] = content;
                    } else if (kind < 7) {
                        const QString name = u"doc-%1"_s.arg(random() % 4);
                        const QByteArray content(1 + qsizetype(random() % 30000), char('A' + random() % 26));
                        if (!writeSynced(vault + u"/doc.tmp"_s, content))
                            return;
                        pending = Pending{name, content};
                        if (::rename(encoded(vault + u"/doc.tmp"_s).constData(), encoded(vault + u"/"_s + name).constData()) != 0)
                            return;
                        synced[name] = content;
                        pending.reset();
                    } else {
                        auto victim = synced.begin();
                        std::advance(victim, qsizetype(random() % synced.size()));
                        pending = Pending{victim->first, std::nullopt};
                        if (::unlink(encoded(vault + u"/"_s + victim->first).constData()) != 0)
                            return;
                        synced.erase(victim);
                        pending.reset();
                    }
                }
            });
            QTest::qWait(50 + int(m_random() % 700));
            kill(volumeServer(vault), SIGKILL);
            stop = true;
            worker.join();
            detachEverything(m_env.root());
        }
        const QString vault = attachVault(bundle, m_password);
        const QString problem = check(vault);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        qInfo("%d rounds, %zu files kept, %d attaches completed a journal", rounds, synced.size(), replayed);
        VERIFY_SOUND(vault);
    }
};

QTEST_GUILESS_MAIN(TestCrashStates)
#include "tst_crashstates.moc"

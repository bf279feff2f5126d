#pragma once

#include "TestEnvironment.h"

#include <QDateTime>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTest>

#include <functional>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The disk-image tools built in this tree, run as a user of the program would, against real FUSE
// mounts in a private HOME and runtime folder; or the copies HOLLOWKEEP_TOOLS_DIR names.
inline QString toolPath(const QString &tool)
{
    return qEnvironmentVariable("HOLLOWKEEP_TOOLS_DIR", QStringLiteral(TOOLS_DIR)) + QLatin1Char('/') + tool;
}

inline ToolRun runTool(const QString &tool, const QStringList &arguments, const QByteArray &input = {})
{
    return runProgram(toolPath(tool), arguments, input);
}

// A tool run asked to stop from its first moment, as the program's Stop does: SIGTERM is already
// pending, blocked, when the tool starts, and arrives once the tool takes stop requests.
inline ToolRun runToolAskedToStop(const QString &tool, const QStringList &arguments, const QByteArray &input = {})
{
    return runProgram(toolPath(tool), arguments, input, QProcessEnvironment::systemEnvironment(), 300000, [] {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, nullptr);
        raise(SIGTERM);
    });
}

inline ToolRun hdiutil(const QStringList &arguments, const QByteArray &input = {})
{
    return runTool(u"hdiutil"_s, arguments, input);
}

inline ToolRun createVault(const QString &path, const QString &volumeName, int sizeMB,
                           const QByteArray &password)
{
    return hdiutil({u"create"_s, u"-encryption"_s, u"AES-256"_s, u"-stdinpass"_s, u"-type"_s,
                    u"SPARSEBUNDLE"_s, u"-fs"_s, u"APFS"_s, u"-size"_s, u"%1m"_s.arg(sizeMB), u"-volname"_s,
                    volumeName, path},
                   password);
}

// The mount point named in an attach -plist answer; empty when there is none.
inline QString mountPointIn(const QByteArray &plist)
{
    static const QRegularExpression pattern(u"<key>mount-point</key>\\s*<string>([^<]*)</string>"_s);
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(plist));
    return match.hasMatch() ? match.captured(1).replace(u"&amp;"_s, u"&"_s) : QString();
}

inline QString attachVault(const QString &path, const QByteArray &password, bool hidden = false)
{
    QStringList arguments{u"attach"_s, u"-plist"_s, u"-stdinpass"_s};
    if (hidden)
        arguments << u"-nobrowse"_s;
    arguments << path;
    const ToolRun run = hdiutil(arguments, password);
    // A refusal the test did not expect is explained in its output.
    if (run.status != 0)
        qInfo("attach %s: status %d: %s", qPrintable(path), run.status, run.err.constData());
    return run.status == 0 ? mountPointIn(run.out) : QString();
}

// A new vault made with the real tools and attached, its volume named after the bundle. When that
// fails, the test fails, and the answer is a folder inside the bundle, so that what the test
// writes next never lands outside its own files.
inline QString attachNewVault(const QString &bundle, const QByteArray &password, int sizeMB = 64)
{
    if (createVault(bundle, QFileInfo(bundle).completeBaseName(), sizeMB, password).status == 0)
        if (const QString mountPoint = attachVault(bundle, password); !mountPoint.isEmpty())
            return mountPoint;
    QTest::qFail("the new vault could not be made and attached", __FILE__, __LINE__);
    return bundle + u"/not-attached"_s;
}

inline ToolRun detachVault(const QString &mountPoint, bool force = false)
{
    QStringList arguments{u"detach"_s, mountPoint};
    if (force)
        arguments << u"-force"_s;
    return hdiutil(arguments);
}

// One line of the kernel's mount table.
struct MountEntry
{
    QString mountPoint;
    QString type;
    QString source;
};

inline QList<MountEntry> mountTable()
{
    QList<MountEntry> entries;
    const auto unescape = [](const QByteArray &field) { return QString::fromUtf8(field).replace(u"\\040"_s, u" "_s); };
    for (const QByteArray &line : readAll(u"/proc/self/mountinfo"_s).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (dash > 4 && dash + 2 < fields.size())
            entries.append({unescape(fields[4]), QString::fromUtf8(fields[dash + 1]), unescape(fields[dash + 2])});
    }
    return entries;
}

// FUSE mounts below a folder.
inline QStringList fuseMountsBelow(const QString &root)
{
    QStringList found;
    for (const MountEntry &entry : mountTable()) {
        if (entry.type.startsWith(u"fuse"_s) && entry.mountPoint.startsWith(root))
            found << entry.mountPoint;
    }
    return found;
}

// Whether this run uses the fallback engine, gocryptfs + fuse2fs, instead of the volume daemon.
inline bool fallbackEngine()
{
    return qEnvironmentVariable("HOLLOWKEEP_VOLUME_ENGINE") == "fuse2fs"_L1;
}

// Processes of that program (by its file name) whose argument vector passes the test. A process
// that ended and was not reaped yet has no arguments, so it never passes.
inline QList<pid_t> processesOf(const QString &program, const std::function<bool(const QByteArray &)> &matches)
{
    QList<pid_t> found;
    for (const QString &pid : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray arguments = readAll(u"/proc/%1/cmdline"_s.arg(pid));
        if (QFileInfo(QString::fromUtf8(arguments.left(arguments.indexOf(char(0))))).fileName() == program &&
            matches(arguments))
            found << pid_t(pid.toInt());
    }
    return found;
}

// Processes of that program with the text as one of their arguments.
inline QList<pid_t> processesOf(const QString &program, const QString &mention)
{
    return processesOf(program, [&](const QByteArray &arguments) {
        return arguments.split(char(0)).contains(mention.toUtf8());
    });
}

// The process serving the files of a mounted volume: fuse2fs names the mount point, the volume
// daemon the decrypted view whose image is the mount's source.
inline pid_t volumeServer(const QString &mountPoint)
{
    if (const QList<pid_t> fuse2fs = processesOf(u"fuse2fs"_s, mountPoint); !fuse2fs.isEmpty())
        return fuse2fs.first();
    for (const MountEntry &entry : mountTable()) {
        if (entry.mountPoint == mountPoint)
            return processesOf(u"volumed"_s, QFileInfo(entry.source).path()).value(0);
    }
    return 0;
}

// The command lines of helper daemons still running with a folder in their arguments.
inline QStringList daemonsMentioning(const QString &root)
{
    QStringList found;
    for (const QString &daemon : {u"fuse2fs"_s, u"gocryptfs"_s, u"volumed"_s}) {
        for (const pid_t pid :
             processesOf(daemon, [&](const QByteArray &arguments) { return arguments.contains(root.toUtf8()); }))
            found << QString::fromUtf8(readAll(u"/proc/%1/cmdline"_s.arg(pid))).replace(QChar(0), QChar(' '));
    }
    return found;
}

// The decrypted view of a locked vault opened by hand with gocryptfs, as someone repairing it would.
inline bool openWithGocryptfs(const QString &bundle, const QString &folder, const QByteArray &password)
{
    QDir().mkpath(folder);
    QProcess gocryptfs;
    gocryptfs.start(u"gocryptfs"_s, {u"-q"_s, bundle + u"/cipher"_s, folder});
    gocryptfs.write(password + '\n');
    gocryptfs.closeWriteChannel();
    return gocryptfs.waitForFinished(30000) && gocryptfs.exitStatus() == QProcess::NormalExit &&
           gocryptfs.exitCode() == 0;
}

// The volume check of the disk tools, on a mounted volume or, with its password, a locked vault.
inline ToolRun verifyVolume(const QString &target, const QByteArray &password = {})
{
    return runTool(u"diskutil"_s,
                   password.isNull() ? QStringList{u"verifyVolume"_s, target}
                                     : QStringList{u"verifyVolume"_s, u"-stdinpass"_s, target},
                   password);
}

// Fails the test, with the checker's report, unless the volume checks sound.
#define VERIFY_SOUND(...)                                                                                  \
    do {                                                                                                   \
        const ToolRun check_ = verifyVolume(__VA_ARGS__);                                                  \
        QVERIFY2(check_.status == 0 && check_.out.contains("exit code is 0."), (check_.out + check_.err).constData()); \
    } while (false)

// Detaches whatever a test left attached, so that a failing test never leaves a mount behind.
inline void detachEverything(const QString &root)
{
    for (const QString &mountPoint : fuseMountsBelow(root)) {
        if (!mountPoint.contains(u"/hollowkeep/layers/"_s))
            detachVault(mountPoint, true);
    }
    for (const QString &mountPoint : fuseMountsBelow(root))
        QProcess::execute(u"fusermount3"_s, {u"-u"_s, u"-z"_s, mountPoint});
}

// Ends a case of a tool test: detaches what a failed case left attached, and then nothing of the
// case may be mounted or running any more.
inline void detachAndExpectNothingLeft(const QString &root)
{
    detachEverything(root);
    QVERIFY(fuseMountsBelow(root).isEmpty());
    QVERIFY2(daemonsMentioning(root).isEmpty(), qPrintable(daemonsMentioning(root).join(u'\n')));
}

// The seed of a randomised test, said in the log: HOLLOWKEEP_RANDOM_SEED replays a run.
inline quint64 randomSeed()
{
    const quint64 seed = qEnvironmentVariableIsSet("HOLLOWKEEP_RANDOM_SEED")
                             ? qEnvironmentVariable("HOLLOWKEEP_RANDOM_SEED").toULongLong()
                             : quint64(QDateTime::currentMSecsSinceEpoch());
    qInfo("random seed %llu (HOLLOWKEEP_RANDOM_SEED=%llu replays it)", seed, seed);
    return seed;
}

// A count a variable may raise for a longer run, or the default.
inline int countFromEnvironment(const char *name, int byDefault)
{
    return qEnvironmentVariableIntValue(name) > 0 ? qEnvironmentVariableIntValue(name) : byDefault;
}

// Writes a file and makes it durable, as an application that cares about its data does.
inline bool writeSynced(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
           fsync(file.handle()) == 0;
}

// The files below a folder that hold the bytes as they are, or that cannot be read. Vault images
// are sparse: only their data regions are read, in pieces that overlap by the length of the bytes.
inline QStringList filesContaining(const QString &root, const QByteArray &bytes)
{
    QStringList found;
    QDirIterator files(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        bool holds = fd < 0;
        for (off_t data = 0, hole = 0; !holds && (data = ::lseek(fd, hole, SEEK_DATA)) >= 0; ) {
            hole = ::lseek(fd, data, SEEK_HOLE);
            for (off_t at = data; !holds && at < hole; at += 1 << 20) {
                QByteArray piece(qMin<off_t>((1 << 20) + bytes.size(), hole - at), Qt::Uninitialized);
                holds = ::pread(fd, piece.data(), piece.size(), at) != piece.size() || piece.contains(bytes);
            }
        }
        if (fd >= 0)
            ::close(fd);
        if (holds)
            found << path;
    }
    return found;
}

inline qint64 diskUsageBytes(const QString &path)
{
    QProcess du;
    du.start(u"/usr/bin/du"_s, {u"-sk"_s, path});
    du.waitForFinished();
    return QString::fromUtf8(du.readAllStandardOutput()).section(QLatin1Char('\t'), 0, 0).toLongLong() * 1024;
}

inline mode_t modeOf(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

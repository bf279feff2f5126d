#pragma once

#include "TestEnvironment.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTest>

#include <sys/stat.h>

// Runs the disk-image tools built in this tree, as a user of the program would, against real
// FUSE mounts in a private HOME and runtime folder.
struct ToolRun
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// The tools built in this tree, or the copies HOLLOWKEEP_TOOLS_DIR names.
inline QString toolPath(const QString &tool)
{
    return qEnvironmentVariable("HOLLOWKEEP_TOOLS_DIR", QStringLiteral(TOOLS_DIR)) + QLatin1Char('/') + tool;
}

inline ToolRun runTool(const QString &tool, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(toolPath(tool), arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(300000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
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
    return run.status == 0 ? mountPointIn(run.out) : QString();
}

inline ToolRun detachVault(const QString &mountPoint, bool force = false)
{
    QStringList arguments{u"detach"_s, mountPoint};
    if (force)
        arguments << u"-force"_s;
    return hdiutil(arguments);
}

// FUSE mounts below a folder, from the kernel's table.
inline QStringList fuseMountsBelow(const QString &root)
{
    QFile table(u"/proc/self/mountinfo"_s);
    table.open(QIODevice::ReadOnly);
    QStringList found;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && line.contains(" - fuse")) {
            const QString mountPoint = QString::fromUtf8(fields[4]).replace(u"\\040"_s, u" "_s);
            if (mountPoint.startsWith(root))
                found << mountPoint;
        }
    }
    return found;
}

// Whether this run uses the fallback engine, gocryptfs + fuse2fs, instead of the volume daemon.
inline bool fallbackEngine()
{
    return qEnvironmentVariable("HOLLOWKEEP_VOLUME_ENGINE") == "fuse2fs"_L1;
}

// Processes of that program (by its file name) whose arguments include the text.
inline QList<pid_t> processesOf(const QString &program, const QString &mention)
{
    QList<pid_t> found;
    const QStringList pids = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        const QByteArray arguments = readAll(u"/proc/%1/cmdline"_s.arg(pid));
        if (QFileInfo(QString::fromUtf8(arguments.left(arguments.indexOf(char(0))))).fileName() == program &&
            arguments.split(char(0)).contains(mention.toUtf8()))
            found << pid_t(pid.toInt());
    }
    return found;
}

// The process serving the files of a mounted volume: fuse2fs names the mount point, the volume
// daemon the decrypted view whose image is the mount's source.
inline pid_t volumeServer(const QString &mountPoint)
{
    if (const QList<pid_t> fuse2fs = processesOf(u"fuse2fs"_s, mountPoint); !fuse2fs.isEmpty())
        return fuse2fs.first();
    QFile table(u"/proc/self/mountinfo"_s);
    table.open(QIODevice::ReadOnly);
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() > 4 && dash > 0 && dash + 2 < fields.size() &&
            QString::fromUtf8(fields[4]).replace(u"\\040"_s, u" "_s) == mountPoint) {
            const QString layer = QFileInfo(QString::fromUtf8(fields[dash + 2]).replace(u"\\040"_s, u" "_s)).path();
            return processesOf(u"volumed"_s, layer).value(0);
        }
    }
    return 0;
}

// Live (not zombie) helper daemons whose arguments mention a folder.
inline QStringList daemonsMentioning(const QString &root)
{
    QStringList found;
    const QStringList pids = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        QFile cmdline(u"/proc/%1/cmdline"_s.arg(pid));
        QFile stat(u"/proc/%1/stat"_s.arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray arguments = cmdline.readAll();
        const QByteArray state = stat.readAll();
        const qsizetype nameEnd = state.lastIndexOf(')');
        if (nameEnd > 0 && state.mid(nameEnd + 2, 1) != "Z" && arguments.contains(root.toUtf8()) &&
            (QFileInfo(QString::fromUtf8(arguments.left(arguments.indexOf(char(0))))).fileName() ==
                 "fuse2fs"_L1 ||
             arguments.contains("gocryptfs") || arguments.contains("volumed")))
            found << QString::fromUtf8(arguments).replace(QChar(0), QChar(' '));
    }
    return found;
}

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

// Writes a file and makes it durable, as an application that cares about its data does.
inline bool writeSynced(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
           fsync(file.handle()) == 0;
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

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
    return runTool(QStringLiteral("hdiutil"), arguments, input);
}

inline ToolRun createVault(const QString &path, const QString &volumeName, int sizeMB,
                           const QByteArray &password)
{
    return hdiutil({QStringLiteral("create"), QStringLiteral("-encryption"), QStringLiteral("AES-256"),
                    QStringLiteral("-stdinpass"), QStringLiteral("-type"), QStringLiteral("SPARSEBUNDLE"),
                    QStringLiteral("-fs"), QStringLiteral("APFS"), QStringLiteral("-size"),
                    QStringLiteral("%1m").arg(sizeMB), QStringLiteral("-volname"), volumeName, path},
                   password);
}

// The mount point named in an attach -plist answer; empty when there is none.
inline QString mountPointIn(const QByteArray &plist)
{
    static const QRegularExpression pattern(
        QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(plist));
    return match.hasMatch() ? match.captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&"))
                            : QString();
}

inline QString attachVault(const QString &path, const QByteArray &password, bool hidden = false)
{
    QStringList arguments{QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass")};
    if (hidden)
        arguments << QStringLiteral("-nobrowse");
    arguments << path;
    const ToolRun run = hdiutil(arguments, password);
    return run.status == 0 ? mountPointIn(run.out) : QString();
}

inline ToolRun detachVault(const QString &mountPoint, bool force = false)
{
    QStringList arguments{QStringLiteral("detach"), mountPoint};
    if (force)
        arguments << QStringLiteral("-force");
    return hdiutil(arguments);
}

// FUSE mounts below a folder, from the kernel's table.
inline QStringList fuseMountsBelow(const QString &root)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    table.open(QIODevice::ReadOnly);
    QStringList found;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && line.contains(" - fuse")) {
            const QString mountPoint =
                QString::fromUtf8(fields[4]).replace(QStringLiteral("\\040"), QStringLiteral(" "));
            if (mountPoint.startsWith(root))
                found << mountPoint;
        }
    }
    return found;
}

// Live (not zombie) helper daemons whose arguments mention a folder.
inline QStringList daemonsMentioning(const QString &root)
{
    QStringList found;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray arguments = cmdline.readAll();
        const QByteArray state = stat.readAll();
        const qsizetype nameEnd = state.lastIndexOf(')');
        if (nameEnd > 0 && state.mid(nameEnd + 2, 1) != "Z" && arguments.contains(root.toUtf8()) &&
            (QFileInfo(QString::fromUtf8(arguments.left(arguments.indexOf(char(0))))).fileName() ==
                 QLatin1String("fuse2fs") ||
             arguments.contains("gocryptfs")))
            found << QString::fromUtf8(arguments).replace(QChar(0), QChar(' '));
    }
    return found;
}

// Detaches whatever a test left attached, so that a failing test never leaves a mount behind.
inline void detachEverything(const QString &root)
{
    for (const QString &mountPoint : fuseMountsBelow(root)) {
        if (!mountPoint.contains(QStringLiteral("/hollowkeep/layers/")))
            detachVault(mountPoint, true);
    }
    for (const QString &mountPoint : fuseMountsBelow(root))
        QProcess::execute(QStringLiteral("fusermount3"),
                          {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint});
}

inline qint64 diskUsageBytes(const QString &path)
{
    QProcess du;
    du.start(QStringLiteral("/usr/bin/du"), {QStringLiteral("-sk"), path});
    du.waitForFinished();
    return QString::fromUtf8(du.readAllStandardOutput()).section(QLatin1Char('\t'), 0, 0).toLongLong() * 1024;
}

inline mode_t modeOf(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

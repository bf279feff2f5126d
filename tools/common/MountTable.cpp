#include "MountTable.h"

#include "ToolSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace MountTable {

namespace {

// mountinfo writes space, tab, line feed and backslash as octal escapes.
QString unescape(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QString::fromUtf8(out);
}

QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    // /proc files report size 0: read until the end.
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? file.readAll() : QByteArray();
}

// The target of a /proc link as the kernel states it.
QString linkTarget(const QString &link)
{
    char buffer[4096];
    const ssize_t length = readlink(QFile::encodeName(link).constData(), buffer, sizeof buffer);
    return length > 0 ? QFile::decodeName(QByteArray(buffer, length)) : QString();
}

} // namespace

QList<Mount> mounts()
{
    QList<Mount> result;
    const QByteArray table = readProcFile(QStringLiteral("/proc/self/mountinfo"));
    for (const QByteArray &line : table.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype separator = fields.indexOf("-");
        if (fields.size() < 7 || separator < 6 || separator + 2 >= fields.size())
            continue;
        result.append(
            Mount{unescape(fields[4]), unescape(fields[separator + 1]), unescape(fields[separator + 2])});
    }
    return result;
}

bool isMountPoint(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    const QList<Mount> all = mounts();
    return std::any_of(all.cbegin(), all.cend(),
                       [&](const Mount &mount) { return mount.mountPoint == clean; });
}

QList<Process> processes()
{
    QList<Process> result;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        if (!ok)
            continue;
        QByteArray cmdline = readProcFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.isEmpty())
            continue;
        if (cmdline.endsWith('\0'))
            cmdline.chop(1);
        Process process{pid, {}};
        for (const QByteArray &argument : cmdline.split('\0'))
            process.arguments.append(QString::fromUtf8(argument));
        result.append(process);
    }
    return result;
}

Process findDaemon(const QString &program, const QString &argument)
{
    for (const Process &process : processes()) {
        if (process.pid == getpid() || process.arguments.isEmpty())
            continue;
        if (QFileInfo(process.arguments.first()).fileName() == program &&
            process.arguments.contains(argument))
            return process;
    }
    return {};
}

QStringList programsUsing(const QString &path)
{
    const QString root = QDir::cleanPath(path);
    const auto isInside = [&](const QString &target) {
        return target == root || target.startsWith(root + QLatin1Char('/'));
    };
    QStringList names;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        if (!ok || pid == getpid())
            continue;
        const QString base = QStringLiteral("/proc/") + entry;
        bool uses = isInside(linkTarget(base + QStringLiteral("/cwd")));
        const QStringList fds = QDir(base + QStringLiteral("/fd"))
                                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (qsizetype i = 0; !uses && i < fds.size(); ++i)
            uses = isInside(linkTarget(base + QStringLiteral("/fd/") + fds[i]));
        if (!uses)
            continue;
        const QString name = QString::fromUtf8(readProcFile(base + QStringLiteral("/comm"))).trimmed();
        if (!name.isEmpty() && !names.contains(name))
            names.append(name);
    }
    return names;
}

namespace {

// The one-letter state of /proc/PID/stat; 0 when the process is gone.
char processState(pid_t pid)
{
    const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype nameEnd = stat.lastIndexOf(')');
    return nameEnd < 0 || nameEnd + 2 >= stat.size() ? 0 : stat.at(nameEnd + 2);
}

// A folder of our own that nobody else can enter: made with mode 0700 when missing; refused when
// it is a link, belongs to another user or is open to others.
void requireOwnPrivateFolder(const QString &path, bool create)
{
    const QByteArray name = QFile::encodeName(path);
    if (create && mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        throw Tool::Error{QStringLiteral("cannot create the private folder %1: %2")
                              .arg(path, QString::fromLocal8Bit(strerror(errno)))};
    struct stat info;
    if (lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
        (info.st_mode & 077) != 0)
        throw Tool::Error{QStringLiteral("The folder “%1” is not private to you (it must be yours, with "
                                         "mode 0700); remove it or set XDG_RUNTIME_DIR.")
                              .arg(path),
                          1, true};
}

} // namespace

bool waitForExit(pid_t pid, int timeoutMs)
{
    if (pid <= 0)
        return true;
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        if (kill(pid, 0) != 0 && errno == ESRCH)
            return true;
        // A daemon that has ended stays a zombie until its parent (often init) collects it.
        const char state = processState(pid);
        if (state == 0 || state == 'Z' || state == 'X')
            return true;
        QThread::msleep(5);
    }
    return false;
}

bool isRunning(pid_t pid)
{
    if (pid <= 0)
        return false;
    const char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X' && state != 'T' && state != 't';
}

bool takesSignal(pid_t pid, int signal)
{
    if (signal < 1 || signal > 64)
        return false;
    const QByteArray status = readProcFile(QStringLiteral("/proc/%1/status").arg(pid));
    const auto mask = [&](const QByteArray &field) {
        const qsizetype at = status.indexOf('\n' + field + ':');
        if (at < 0)
            return quint64(0);
        const qsizetype start = at + field.size() + 2;
        const qsizetype end = status.indexOf('\n', start);
        return status.mid(start, end < 0 ? -1 : end - start).trimmed().toULongLong(nullptr, 16);
    };
    return ((mask("SigCgt") | mask("SigBlk")) >> (signal - 1) & 1) != 0;
}

QString privateTemporaryFolder()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QDir::isAbsolutePath(runtime)) {
        runtime = QDir::tempPath() + QStringLiteral("/runtime-%1").arg(getuid());
        requireOwnPrivateFolder(runtime, true);
    }
    const QString folder = QDir::cleanPath(runtime) + QStringLiteral("/hollowkeep");
    requireOwnPrivateFolder(folder, true);
    return folder;
}

} // namespace MountTable

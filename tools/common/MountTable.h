#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// What the kernel knows: mounts from /proc/self/mountinfo and the processes of this user, so that
// the tools' answers stay true whatever happened to the program that attached a vault.
namespace MountTable {

struct Mount
{
    QString mountPoint;
    QString fsType;
    QString source;
};

struct Process
{
    pid_t pid = 0;
    QStringList arguments; // argv, the program first
};

[[nodiscard]] QList<Mount> mounts();
[[nodiscard]] bool isMountPoint(const QString &path);

// Readable processes with their argument vectors.
[[nodiscard]] QList<Process> processes();
// The daemon serving a FUSE mount: a process of that program whose arguments include the text;
// pid 0 when there is none.
[[nodiscard]] Process findDaemon(const QString &program, const QString &argument);

// Names of the programs that keep files, folders or their working directory open under a path,
// without duplicates, in pid order.
[[nodiscard]] QStringList programsUsing(const QString &path);

// Waits until a process has ended; false after the time-out.
bool waitForExit(pid_t pid, int timeoutMs);
// A process that exists and runs: not ended, not a zombie, not stopped.
[[nodiscard]] bool isRunning(pid_t pid);
// Whether a signal sent to a process reaches its own code rather than the default action: it has
// a handler, or blocks the signal to wait for it. Read from /proc/PID/status.
[[nodiscard]] bool takesSignal(pid_t pid, int signal);

// $XDG_RUNTIME_DIR/hollowkeep, created with mode 0700: the tools' private working place. Throws a
// Tool::Error when it, or the runtime folder it is made in, belongs to someone else or is open to
// others: another user could otherwise move the tools' mounts away.
[[nodiscard]] QString privateTemporaryFolder();

} // namespace MountTable

#pragma once

#include "ProcessResult.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QMap>
#include <QPointer>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

// Every operation on a vault image, each one run of a disk-image tool with a fixed command line.
// Passwords go to the tools' standard input only. Failures throw DiskImageError, or LaunchError
// when a tool cannot be started.
namespace DiskImage {

// Stops long work where stopping is safe. Whoever starts the work keeps the switch alive while
// it runs and hands it down; pulling it asks the running tool to stop (SIGTERM, which the tools
// take as a request), or stops the work before its next tool starts. The work then throws
// DiskImageError::stopped(), unless the tool had finished anyway.
class StopSwitch
{
public:
    void pull();
    [[nodiscard]] bool pulled() const { return m_pulled; }
    // The running tool that a pull asks to stop, while it runs.
    void watch(QObject *process);

private:
    bool m_pulled = false;
    QPointer<QObject> m_process;
};

// Runs a program with the arguments as they are (no shell) and standard input always a pipe: the
// data, if any, is written and the pipe closed. Both outputs are read completely. A non-zero
// status is a result; a program that cannot start throws LaunchError, one still running after the
// time-out is killed and throws DiskImageError.
//
// A tool tells how far a long step is with lines "progress: PERCENT STAGE" on standard error: they
// go to onProgress as they come and are left out of the result. The observer is the caller's, who
// awaits the run: a copy made inside an awaited call is destroyed twice by g++ 12.
using ProgressObserver = std::function<void(int percent, const QString &stage)>;
QCoro::Task<ProcessResult> run(const QString &executable, const QStringList &arguments,
                               std::optional<QByteArray> stdinData = std::nullopt,
                               std::chrono::milliseconds timeout = std::chrono::minutes(5),
                               const ProgressObserver &onProgress = {}, StopSwitch *stop = nullptr);
// Shortens every tool's time limit to at most this (none when zero): tests make a hanging tool
// time out in a second instead of hours.
void setTimeLimitCap(std::chrono::milliseconds cap);

QCoro::Task<void> create(const QString &image, const QString &volumeName, qint64 maxSizeMB,
                         const QString &password);
struct Attached
{
    QString mountPoint;
    // What the tool repaired because the vault was not locked cleanly; empty when nothing.
    QString repairReport;
};
QCoro::Task<Attached> attach(const QString &image, const QString &password, bool nobrowse);
QCoro::Task<void> detach(const QString &mountPoint, bool force);
QCoro::Task<void> renameVolume(const QString &mountPoint, const QString &newName);
// Image path, as the tool reports it, to mount point. Never fails: nothing when the tool could not
// tell.
QCoro::Task<std::optional<QMap<QString, QString>>> attachedImages();
// Where an image is mounted, matching paths after resolving symbolic links. Never fails.
QCoro::Task<std::optional<QString>> mountPoint(const QString &image);
QCoro::Task<void> changePassword(const QString &image, const QString &oldPassword,
                                 const QString &newPassword);
QCoro::Task<void> resize(const QString &image, qint64 newSizeMB, const QString &password,
                         const ProgressObserver &onProgress = {});
// The lowest limit a locked vault can be given, in megabytes: what its files and the file
// system's own tables need.
QCoro::Task<qint64> lowestLimitMB(const QString &image, const QString &password);
// Bytes the image takes on disk; 0 when it cannot be measured.
QCoro::Task<qint64> sizeOnDisk(const QString &image);
// The same for many images with one run of du per hundreds of them: a long list must not cost a
// process per vault. Images that cannot be measured are left out.
QCoro::Task<QHash<QString, qint64>> sizesOnDisk(QStringList images);
QCoro::Task<void> compact(const QString &image, const QString &password, const ProgressObserver &onProgress = {},
                          StopSwitch *stop = nullptr);
// Attaches invisibly, checks the volume, detaches; answers "healthy". How far the check is goes
// to onProgress. Stopped, it still detaches.
QCoro::Task<QString> verify(const QString &image, const QString &password,
                            const ProgressObserver &onProgress = {}, StopSwitch *stop = nullptr);
QCoro::Task<void> verifyPassword(const QString &image, const QString &password);

// Parsing rules, exposed for the tests.
[[nodiscard]] QString stderrText(const QByteArray &stderrData);
[[nodiscard]] bool isAuthenticationFailure(const QString &stderrText);
[[nodiscard]] std::optional<QString> mountPointFromAttachOutput(const QByteArray &plist);
[[nodiscard]] QString repairReportFromAttachOutput(const QByteArray &plist);
[[nodiscard]] QMap<QString, QString> imagesFromInfoOutput(const QByteArray &plist);
[[nodiscard]] qint64 sizeFromDuOutput(const QByteArray &output);
// A path with its symbolic links resolved; the path itself when it does not exist.
[[nodiscard]] QString resolvedPath(const QString &path);

} // namespace DiskImage

#include "Mounting.h"

#include "Bundle.h"
#include "Engine.h"
#include "FileSystemCheck.h"
#include "MountTable.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <csignal>

namespace VaultImage {

using Tool::Error;

void stopDaemon(pid_t pid)
{
    constexpr int graceMs = 500;
    if (pid <= 0 || MountTable::waitForExit(pid, graceMs) || !MountTable::takesSignal(pid, SIGTERM))
        return;
    kill(pid, SIGTERM);
    kill(pid, SIGCONT);
}

void closeLayer(const QString &at)
{
    const MountTable::Process daemon = Engine::serving(at).layerServer(at);
    if (MountTable::isMountPoint(at)) {
        unmount(at, false);
        if (MountTable::isMountPoint(at)) {
            unmount(at, true);
            stopDaemon(daemon.pid);
        }
    }
    MountTable::waitForExit(daemon.pid, daemonExitTimeoutMs);
    QDir().rmdir(at);
}

namespace {

// Keeps the repair log inside the vault, where only its owner can read it: it names files.
QString keepRepairLog(const QString &mountPoint, const QByteArray &log)
{
    const QString folder = QFileInfo(mountPoint + QStringLiteral("/lost+found")).isDir()
                               ? QStringLiteral("lost+found/")
                               : QString();
    const QString name =
        folder + QStringLiteral("repair %1.log")
                     .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss")));
    QFile file(mountPoint + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(log) != log.size())
        return {};
    return name;
}

} // namespace

OpenLayer::OpenLayer(const QString &bundle, const QByteArray &password, bool readOnly)
    : m_at(readOnly ? runtimeRoot() + QStringLiteral("/check-") + QUuid::createUuid().toString(QUuid::Id128)
                    : layerPointFor(bundle))
{
    Engine::chosen().openLayer(bundle, password, m_at, readOnly);
}

OpenLayer::~OpenLayer()
{
    try {
        closeLayer(m_at);
    } catch (const Error &) {
        // The mount stays visible in the mount table; the next attach clears it.
    }
}

QString OpenLayer::image() const
{
    return m_at + QLatin1Char('/') + imageName;
}

QString mountVolume(const QString &bundle, const QString &image, const QString &mountPoint)
{
    const Engine &engine = Engine::serving(QFileInfo(image).path());
    std::optional<Repair> repair = checkAndRepair(bundle, image, false);
    prepareFileSystem(image);
    Tool::HelperResult result = engine.startVolume(image, mountPoint);
    if (result.status != 0 || !MountTable::isMountPoint(mountPoint)) {
        // A file system marked clean can still be damaged (a write lost when the host disk filled
        // up): a full check repairs it, then the mount is tried once more.
        if (std::optional<Repair> full = checkAndRepair(bundle, image, true))
            repair = full;
        result = engine.startVolume(image, mountPoint);
    }
    if (result.status != 0 || !MountTable::isMountPoint(mountPoint)) {
        removeMountPoint(mountPoint);
        throw Error{QStringLiteral("cannot mount the volume: ") + complaint(result.output)};
    }
    if (!repair)
        return {};
    const QString log = keepRepairLog(mountPoint, repair->log);
    return log.isEmpty() ? repair->summary
                         : repair->summary + QStringLiteral(" The repair log is “%1” in the vault.").arg(log);
}

void unmountVolume(const Attachment &attachment, bool force, const QString &name)
{
    const QString mountPoint = attachment.volumeMount;
    const Engine &engine = Engine::serving(attachment.layerMount);
    const MountTable::Process daemon = engine.volumeServer(attachment);
    if (attachment.healthy && !force && !MountTable::programsUsing(mountPoint).isEmpty())
        throw Error{busyMessage(mountPoint, name), Tool::statusBusy, true};
    // Everything is written back before the volume goes: when it cannot be, the volume stays,
    // with everything it holds, until the reason is gone.
    if (attachment.healthy) {
        // EINVAL: a daemon of an earlier release, which writes everything back as it ends.
        if (const int error = engine.writeBack(attachment.layerMount); error && error != EINVAL && !force)
            throw Error{error == ENOSPC
                            ? QStringLiteral("The volume “%1” was not locked: the disk holding the vault is full, "
                                             "so its last changes cannot be saved. Free some space on that disk, "
                                             "then lock it again.")
                                  .arg(name)
                            : QStringLiteral("The volume “%1” was not locked: its last changes could not be saved "
                                             "to the disk holding the vault (%2).")
                                  .arg(name, systemError(error)),
                        1, true};
    }
    // A volume that cannot answer is cleared away: nothing it holds can reach the disk any more.
    const bool lazy = force || !attachment.healthy;
    unmount(mountPoint, lazy);
    if (MountTable::isMountPoint(mountPoint)) {
        if (!lazy)
            throw Error{busyMessage(mountPoint, name), Tool::statusBusy, true};
        unmount(mountPoint, true);
    }
    // After a lazy unmount open files keep the daemon serving them; asked to stop, it writes
    // everything it holds and closes the file system cleanly.
    if (lazy)
        stopDaemon(daemon.pid);
    if (!engine.waitForVolumeClosed(daemon, attachment.layerMount, lazy))
        throw Error{QStringLiteral("the volume did not finish writing in time")};
    removeMountPoint(mountPoint);
}

QString nameInLayer(const QString &layer)
{
    QFile file(layer + QLatin1Char('/') + nameFileName);
    if (file.open(QIODevice::ReadOnly)) {
        const QString name = QString::fromUtf8(file.readAll()).trimmed();
        if (!name.isEmpty())
            return name;
    }
    const Tool::HelperResult label =
        Tool::runHelper(Tool::helper(QStringLiteral("e2label")), {layer + QLatin1Char('/') + imageName});
    const QString text = QString::fromUtf8(label.output).trimmed();
    return label.status == 0 && !text.isEmpty() ? text : QStringLiteral("Untitled");
}

void writeName(const QString &layer, const QString &name)
{
    Tool::runHelperOrFail(QStringLiteral("cannot label the volume"), Tool::helper(QStringLiteral("e2label")),
                          {layer + QLatin1Char('/') + imageName, labelFor(name)});
    QFile file(layer + QLatin1Char('/') + nameFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(name.toUtf8()) < 0)
        throw Error{QStringLiteral("cannot store the volume name")};
}

} // namespace VaultImage

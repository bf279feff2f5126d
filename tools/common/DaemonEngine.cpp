#include "Engine.h"

#include "Bundle.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace VaultImage {

const QString DaemonEngine::program = QStringLiteral("volumed");

namespace {

// The daemon's control file in the view: a path written to it mounts the volume there, "sync"
// writes everything back, and reading it answers where the volume is mounted.
const QString controlName = QStringLiteral(".volume");

QByteArray controlPath(const QString &layer)
{
    return QFile::encodeName(layer + QLatin1Char('/') + controlName);
}

// Writes a command to the control file; 0 or the errno of what kept the daemon from doing it.
int tell(const QString &layer, const QByteArray &command)
{
    const int fd = ::open(controlPath(layer).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = ::write(fd, command.constData(), size_t(command.size())) == command.size() ? 0 : errno;
    ::close(fd);
    return error;
}

// Whether the daemon serving a view still serves the file system inside it. Ask only a running
// daemon: a stopped one would never answer.
bool servesVolume(const QString &layer)
{
    QFile control(QFile::decodeName(controlPath(layer)));
    return control.open(QIODevice::ReadOnly | QIODevice::Unbuffered) && !control.readAll().trimmed().isEmpty();
}

} // namespace

Tool::HelperResult DaemonEngine::startVolume(const QString &image, const QString &mountPoint) const
{
    makePrivateFolder(mountPoint);
    const int error = tell(QFileInfo(image).path(), QFile::encodeName(mountPoint));
    return {error ? 1 : 0, error ? systemError(error).toUtf8() : QByteArray()};
}

int DaemonEngine::writeBack(const QString &layer) const
{
    return tell(layer, "sync");
}

MountTable::Process DaemonEngine::volumeServer(const Attachment &attachment) const
{
    return layerServer(attachment.layerMount);
}

// The daemon keeps serving the view: the volume is closed when it says it serves none any more,
// or when it is gone, having written everything on its way out. After a lazy unmount it is asked
// to end, and waited for.
bool DaemonEngine::waitForVolumeClosed(const MountTable::Process &server, const QString &layer, bool lazy) const
{
    if (lazy)
        return MountTable::waitForExit(server.pid, daemonExitTimeoutMs);
    for (int waited = 0; waited < daemonExitTimeoutMs; waited += 20) {
        // A stopped one is waited for, never asked.
        if (kill(server.pid, 0) != 0)
            return true;
        if (MountTable::isRunning(server.pid) && !servesVolume(layer))
            return true;
        usleep(20000);
    }
    return false;
}

bool DaemonEngine::serves(const Attachment &, const MountTable::Process &layerServer) const
{
    return MountTable::isRunning(layerServer.pid);
}

} // namespace VaultImage

#include "Engine.h"

#include "Bundle.h"

#include <QFileInfo>

namespace VaultImage {

const QString FallbackEngine::program = QStringLiteral("gocryptfs");
const QString FallbackEngine::volumeProgram = QStringLiteral("fuse2fs");

namespace {

const QString journalName = QStringLiteral(".disk.img.journal");

} // namespace

QStringList FallbackEngine::layerOptions() const
{
    return {QStringLiteral("-q"), QStringLiteral("-noprealloc")};
}

// gocryptfs knows nothing of the volume daemon's journal: what it holds goes in place first.
LayerRecovery FallbackEngine::prepareLayer(const QString &bundle, const QByteArray &password) const
{
    if (!QFileInfo::exists(cipherDirectory(bundle) + QLatin1Char('/') + journalName))
        return {};
    return resultOf(Tool::runHelper(daemonPath(), {QStringLiteral("-recover"), cipherDirectory(bundle)},
                                    Tool::keepSecret(password + '\n')));
}

// hard_remove: a file deleted just after it was closed must free its blocks at once; without it
// the FUSE library may keep it as a hidden ".fuse_hidden…" file until the volume unmounts, or for
// good when the close arrives after the unmount.
Tool::HelperResult FallbackEngine::startVolume(const QString &image, const QString &mountPoint) const
{
    makePrivateFolder(mountPoint);
    return Tool::runHelper(Tool::helper(volumeProgram),
                           {image, mountPoint, QStringLiteral("-o"), QStringLiteral("hard_remove")}, {}, true);
}

MountTable::Process FallbackEngine::volumeServer(const Attachment &attachment) const
{
    return MountTable::findDaemon(volumeProgram, attachment.image());
}

// fuse2fs writes everything as it ends, which it does when its mount goes.
bool FallbackEngine::waitForVolumeClosed(const MountTable::Process &server, const QString &, bool) const
{
    return MountTable::waitForExit(server.pid, daemonExitTimeoutMs);
}

bool FallbackEngine::serves(const Attachment &attachment, const MountTable::Process &layerServer) const
{
    return MountTable::isRunning(layerServer.pid) && MountTable::isRunning(volumeServer(attachment).pid);
}

} // namespace VaultImage

#pragma once

#include "MountTable.h"
#include "ToolSupport.h"
#include "VaultImage.h"

#include <QString>

namespace VaultImage {

// What opening the encryption layer put right: the journal the daemon left when it could not
// finish writing.
struct LayerRecovery
{
    int replayed = 0; // changes completed from the journal
    int cleared = 0;  // damaged blocks of changes that never completed, made holes again
};

// Who serves an attached vault: the volume daemon, one process for the decrypted view and the
// file system inside it; or the fallback, gocryptfs for the view and fuse2fs for the file system,
// chosen by HOLLOWKEEP_VOLUME_ENGINE=fuse2fs. Both read and write the same bundles. Everything
// that differs between them is here; checks, resizes and compaction run e2fsprogs on the image of
// an open view, which either offers.
class Engine
{
public:
    virtual ~Engine() = default;

    // The engine that opens vaults now.
    [[nodiscard]] static const Engine &chosen();
    // The engine whose view is mounted with that file-system type; nullptr for any other mount.
    [[nodiscard]] static const Engine *ofLayerType(const QString &fsType);
    // The engine serving the view mounted there.
    [[nodiscard]] static const Engine &serving(const QString &layer);

    // Mounts the decrypted view of a bundle at a private place, the password on the program's
    // input. Answers what it put right on the way.
    LayerRecovery openLayer(const QString &bundle, const QByteArray &password, const QString &at,
                            bool readOnly) const;
    // The process serving the view mounted there.
    [[nodiscard]] MountTable::Process layerServer(const QString &at) const;

    // Mounts the file system inside an open view.
    [[nodiscard]] virtual Tool::HelperResult startVolume(const QString &image, const QString &mountPoint) const = 0;
    // Before an unmount: everything the volume holds made durable. 0 or the errno of what kept it.
    [[nodiscard]] virtual int writeBack(const QString &layer) const = 0;
    // The process serving the file system of an attached vault.
    [[nodiscard]] virtual MountTable::Process volumeServer(const Attachment &attachment) const = 0;
    // After the unmount: whether the file system was written and closed in time.
    [[nodiscard]] virtual bool waitForVolumeClosed(const MountTable::Process &server, const QString &layer,
                                                   bool lazy) const = 0;
    // Whether every process an attached vault needs runs.
    [[nodiscard]] virtual bool serves(const Attachment &attachment, const MountTable::Process &layerServer) const = 0;

protected:
    // The program serving the view: its process name and, after "fuse.", its mount type.
    [[nodiscard]] virtual QString layerProgram() const = 0;
    [[nodiscard]] virtual QString layerProgramPath() const = 0;
    [[nodiscard]] virtual QStringList layerOptions() const = 0;
    // What has to happen before the view opens; answers what it put right.
    [[nodiscard]] virtual LayerRecovery prepareLayer(const QString &bundle, const QByteArray &password) const = 0;

    // The volume daemon's own program: it serves vaults, and replays a journal for the fallback.
    [[nodiscard]] static QString daemonPath();
    // Fails with the error a layer program's status means; answers what its output says it
    // recovered.
    static LayerRecovery resultOf(const Tool::HelperResult &result);
};

// The volume daemon: it mounts the file system itself when told where, writes back when asked,
// and keeps serving the view after the volume is unmounted.
class DaemonEngine : public Engine
{
public:
    [[nodiscard]] Tool::HelperResult startVolume(const QString &image, const QString &mountPoint) const override;
    [[nodiscard]] int writeBack(const QString &layer) const override;
    [[nodiscard]] MountTable::Process volumeServer(const Attachment &attachment) const override;
    [[nodiscard]] bool waitForVolumeClosed(const MountTable::Process &server, const QString &layer,
                                           bool lazy) const override;
    [[nodiscard]] bool serves(const Attachment &attachment, const MountTable::Process &layerServer) const override;

    static const QString program;

protected:
    [[nodiscard]] QString layerProgram() const override { return program; }
    [[nodiscard]] QString layerProgramPath() const override { return daemonPath(); }
    [[nodiscard]] QStringList layerOptions() const override { return {}; }
    [[nodiscard]] LayerRecovery prepareLayer(const QString &, const QByteArray &) const override { return {}; }
};

// gocryptfs and fuse2fs: each ends when its mount goes, and writes everything as it ends.
class FallbackEngine : public Engine
{
public:
    [[nodiscard]] Tool::HelperResult startVolume(const QString &image, const QString &mountPoint) const override;
    [[nodiscard]] int writeBack(const QString &) const override { return 0; }
    [[nodiscard]] MountTable::Process volumeServer(const Attachment &attachment) const override;
    [[nodiscard]] bool waitForVolumeClosed(const MountTable::Process &server, const QString &layer,
                                           bool lazy) const override;
    [[nodiscard]] bool serves(const Attachment &attachment, const MountTable::Process &layerServer) const override;

    static const QString program;
    static const QString volumeProgram;

protected:
    [[nodiscard]] QString layerProgram() const override { return program; }
    [[nodiscard]] QString layerProgramPath() const override { return Tool::helper(program); }
    [[nodiscard]] QStringList layerOptions() const override;
    [[nodiscard]] LayerRecovery prepareLayer(const QString &bundle, const QByteArray &password) const override;
};

} // namespace VaultImage

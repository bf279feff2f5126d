#pragma once

#include "VaultImage.h"

#include <QString>

#include <sys/types.h>

// Mounting and unmounting a vault's two layers, the decrypted view and the file system inside it,
// with whichever engine serves them (Engine.h).
namespace VaultImage {

// Asks a daemon to end; a stopped one gets the request when it continues. Only a daemon that
// still handles the request is asked: a FUSE daemon whose connection has ended puts back the
// default action while it writes its file system out, and the signal would kill it half way
// through a superblock. One that left its loop on its own a moment ago is given that moment.
void stopDaemon(pid_t pid);
// Unmounts the decrypted view mounted there and waits for its daemon to end.
void closeLayer(const QString &at);

// The encryption layer of a locked vault, open while a maintenance step runs.
class OpenLayer
{
public:
    OpenLayer(const QString &bundle, const QByteArray &password, bool readOnly = false);
    ~OpenLayer();
    OpenLayer(const OpenLayer &) = delete;
    OpenLayer &operator=(const OpenLayer &) = delete;

    [[nodiscard]] QString image() const;
    [[nodiscard]] QString folder() const { return m_at; }

private:
    QString m_at;
};

// Checks the file system of an open view, repairs what a crash left, and mounts it there.
// Answers a report when a repair was needed.
QString mountVolume(const QString &bundle, const QString &image, const QString &mountPoint);
// Unmounts the file system of an attached vault once everything it holds is written; with force,
// or when it cannot answer, also while files are open.
void unmountVolume(const Attachment &attachment, bool force, const QString &name);

// The full volume name kept in a view; the label, or "Untitled", when there is none.
[[nodiscard]] QString nameInLayer(const QString &layer);
void writeName(const QString &layer, const QString &name);

} // namespace VaultImage

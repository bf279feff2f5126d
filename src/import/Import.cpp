#include "Import.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// Thrown with the reason a copy failed, as the user reads it.
struct CopyFailure
{
    QString reason;
};

struct Cancelled
{
};

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool isInside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + u'/');
}

// Whether the vault is still mounted there: a locked vault leaves an empty folder of the outer file
// system behind, which must never receive a file.
bool isMounted(const QString &mountPoint)
{
    struct stat volume, parent;
    return ::stat(QFile::encodeName(mountPoint).constData(), &volume) == 0 &&
           ::stat(QFile::encodeName(QFileInfo(mountPoint).path()).constData(), &parent) == 0 &&
           volume.st_dev != parent.st_dev;
}

class Copier
{
public:
    // root: what the user added, whose links may stay links when they point inside it.
    Copier(const std::atomic<bool> &cancelled, QString mountPoint, QString root, bool move,
           std::function<void(qint64)> wrote)
        : m_cancelled(cancelled)
        , m_mountPoint(std::move(mountPoint))
        , m_root(QFileInfo(root).absoluteFilePath())
        , m_move(move)
        , m_wrote(std::move(wrote))
    {
    }

    // Copies a file, a folder with everything in it, or a symbolic link: as a link when it points
    // inside what is being added, otherwise as what it points to (Move In refuses those: the file
    // itself would stay outside the vault). Pipes, sockets and devices are refused.
    void copy(const QString &source, const QString &target)
    {
        struct stat status;
        if (::lstat(QFile::encodeName(source).constData(), &status) != 0)
            throw CopyFailure{systemError(errno)};
        if (S_ISLNK(status.st_mode)) {
            const QFileInfo link(source);
            const QString pointsTo = link.canonicalFilePath();
            if (pointsTo.isEmpty() || isInside(pointsTo, m_root)) {
                if (!QFile::link(link.symLinkTarget(), target))
                    throw CopyFailure{u"The link could not be made."_s};
                return;
            }
            if (m_move)
                throw CopyFailure{u"“%1” is a link to something outside what you are adding; Move In would leave "
                                  "that outside the vault. Add it with Copy, or add what it points to."_s
                                      .arg(link.fileName())};
            if (::stat(QFile::encodeName(pointsTo).constData(), &status) != 0)
                throw CopyFailure{systemError(errno)};
            copyObject(pointsTo, target, status);
            return;
        }
        copyObject(source, target, status);
    }

private:
    void copyObject(const QString &source, const QString &target, const struct stat &status)
    {
        if (S_ISDIR(status.st_mode)) {
            // A link back up the tree would copy for ever.
            const QPair<quint64, quint64> identity{quint64(status.st_dev), quint64(status.st_ino)};
            if (m_folders.contains(identity))
                throw CopyFailure{u"“%1” contains itself through a link."_s.arg(QFileInfo(source).fileName())};
            m_folders.insert(identity);
            requireMounted();
            if (!QDir().mkdir(target))
                throw CopyFailure{u"The folder could not be made."_s};
            QFile::setPermissions(target, QFileInfo(source).permissions());
            const QStringList entries =
                QDir(source).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
            for (const QString &entry : entries)
                copy(source + u'/' + entry, target + u'/' + entry);
            m_folders.remove(identity);
        } else if (S_ISREG(status.st_mode)) {
            copyFile(source, target);
        } else {
            throw CopyFailure{u"“%1” is not a file or a folder (a pipe, a socket or a device), so it cannot be "
                              "added to a vault."_s
                                  .arg(QFileInfo(source).fileName())};
        }
    }

    void requireMounted() const
    {
        if (!isMounted(m_mountPoint))
            throw CopyFailure{u"The vault was locked."_s};
    }

    void copyFile(const QString &source, const QString &target)
    {
        // Without blocking: what was a file when it was looked at may be a pipe by now.
        const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        struct stat status;
        if (in < 0 || ::fstat(in, &status) != 0 || !S_ISREG(status.st_mode)) {
            const int error = in < 0 ? errno : EINVAL;
            if (in >= 0)
                ::close(in);
            throw CopyFailure{systemError(error)};
        }
        ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) & ~O_NONBLOCK);
        requireMounted();
        const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0) {
            const int error = errno;
            ::close(in);
            throw CopyFailure{systemError(error)};
        }
        std::vector<char> buffer(1 << 20);
        int failure = 0;
        for (;;) {
            if (m_cancelled) {
                ::close(in);
                ::close(out);
                throw Cancelled{};
            }
            const ssize_t got = ::read(in, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                failure = got < 0 ? errno : 0;
                break;
            }
            for (ssize_t put = 0; put < got && !failure;) {
                const ssize_t written = ::write(out, buffer.data() + put, size_t(got - put));
                if (written < 0 && errno != EINTR)
                    failure = errno;
                else if (written > 0)
                    put += written;
            }
            if (failure)
                break;
            m_wrote(got);
        }
        // Flushed before the copy counts: a moved original is trashed only after this.
        if (!failure && ::fsync(out) != 0)
            failure = errno;
        ::close(in);
        if (::close(out) != 0 && !failure)
            failure = errno;
        if (failure)
            throw CopyFailure{systemError(failure)};
        QFile::setPermissions(target, QFileInfo(source).permissions());
    }

    const std::atomic<bool> &m_cancelled;
    QString m_mountPoint;
    QString m_root;
    bool m_move;
    std::function<void(qint64)> m_wrote;
    QSet<QPair<quint64, quint64>> m_folders; // being copied, by device and inode
};

qint64 bytesIn(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isDir())
        return info.isSymLink() ? 0 : info.size();
    qint64 total = 0;
    QDirIterator files(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        total += files.fileInfo().size();
    }
    return total;
}

void removeItem(const QString &path)
{
    const QFileInfo target(path);
    if (target.isDir() && !target.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

} // namespace

Import::Import(QObject *parent) : QObject(parent) {}

Import::~Import()
{
    if (m_thread) {
        m_cancelled = true;
        m_thread->wait();
    }
}

QStringList Import::cleanPaths(const QStringList &paths)
{
    QStringList clean;
    for (const QString &path : paths) {
        // "Photos/" as shell completion gives it is the folder Photos.
        const QString cleaned = QDir::cleanPath(path);
        if (!path.trimmed().isEmpty() && cleaned != u"/"_s && !clean.contains(cleaned))
            clean << cleaned;
    }
    return clean;
}

QString Import::freeName(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    if (!QFileInfo(dir.filePath(fileName)).exists() && !QFileInfo(dir.filePath(fileName)).isSymLink())
        return fileName;
    // The extension is what follows the last dot, unless the name starts with its only dot.
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const bool hasExtension = dot > 0 && dot < fileName.size() - 1;
    const QString base = hasExtension ? fileName.left(dot) : fileName;
    const QString extension = hasExtension ? fileName.mid(dot) : QString();
    for (int n = 2;; ++n) {
        const QString candidate = base + u' ' + QString::number(n) + extension;
        const QFileInfo info(dir.filePath(candidate));
        if (!info.exists() && !info.isSymLink())
            return candidate;
    }
}

void Import::start(const QStringList &sources, const QString &mountPoint, bool move)
{
    m_cancelled = false;
    m_thread = QThread::create([this, sources = cleanPaths(sources), mountPoint, move] { run(sources, mountPoint, move); });
    connect(m_thread, &QThread::finished, this, [this] {
        m_thread->deleteLater();
        m_thread = nullptr;
    });
    m_thread->start();
}

// On the worker thread: signals cross to the receivers' threads queued.
void Import::run(QStringList sources, QString mountPoint, bool move)
{
    qint64 total = 0;
    for (const QString &source : sources)
        total += bytesIn(source);
    qint64 written = 0;
    int done = 0;
    for (const QString &source : std::as_const(sources)) {
        const QString name = QFileInfo(source).fileName();
        Q_EMIT progress(written, total, name);
        Copier copier(m_cancelled, mountPoint, source, move, [&](qint64 bytes) {
            written += bytes;
            Q_EMIT progress(written, total, name);
        });
        const QString target = mountPoint + u'/' + freeName(mountPoint, name);
        try {
            copier.copy(source, target);
            if (move && !QFile::moveToTrash(source))
                throw CopyFailure{u"It could not be moved to the Trash."_s};
        } catch (const Cancelled &) {
            // The half-made copy goes; everything before it stays.
            if (isMounted(mountPoint))
                removeItem(target);
            Q_EMIT finished(done, std::nullopt, true);
            return;
        } catch (const CopyFailure &failure) {
            // Nor does a failed copy stay behind under the item's name.
            if (isMounted(mountPoint))
                removeItem(target);
            Q_EMIT finished(done, u"Could not add %1: %2"_s.arg(name, failure.reason), false);
            return;
        }
        ++done;
    }
    Q_EMIT finished(done, std::nullopt, false);
}

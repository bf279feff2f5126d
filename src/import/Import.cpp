#include "Import.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>
#include <fcntl.h>
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

class Copier
{
public:
    Copier(const std::atomic<bool> &cancelled, std::function<void(qint64)> wrote)
        : m_cancelled(cancelled), m_wrote(std::move(wrote))
    {
    }

    // Copies a file, a folder with everything in it, or a symbolic link as a link.
    void copy(const QString &source, const QString &target)
    {
        const QFileInfo info(source);
        if (info.isSymLink()) {
            if (!QFile::link(info.symLinkTarget(), target))
                throw CopyFailure{u"The link could not be made."_s};
        } else if (info.isDir()) {
            if (!QDir().mkdir(target))
                throw CopyFailure{u"The folder could not be made."_s};
            QFile::setPermissions(target, info.permissions());
            const QStringList entries =
                QDir(source).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
            for (const QString &entry : entries)
                copy(source + u'/' + entry, target + u'/' + entry);
        } else if (info.exists()) {
            copyFile(source, target, info);
        } else {
            throw CopyFailure{QString::fromLocal8Bit(std::strerror(ENOENT))};
        }
    }

private:
    void copyFile(const QString &source, const QString &target, const QFileInfo &info)
    {
        const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            throw CopyFailure{QString::fromLocal8Bit(std::strerror(errno))};
        const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0) {
            const int error = errno;
            ::close(in);
            throw CopyFailure{QString::fromLocal8Bit(std::strerror(error))};
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
            throw CopyFailure{QString::fromLocal8Bit(std::strerror(failure))};
        QFile::setPermissions(target, info.permissions());
    }

    const std::atomic<bool> &m_cancelled;
    std::function<void(qint64)> m_wrote;
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

} // namespace

Import::Import(QObject *parent) : QObject(parent) {}

Import::~Import()
{
    if (m_thread) {
        m_cancelled = true;
        m_thread->wait();
    }
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
    m_thread = QThread::create([this, sources, mountPoint, move] { run(sources, mountPoint, move); });
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
        Copier copier(m_cancelled, [&](qint64 bytes) {
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
            QFileInfo(target).isDir() ? void(QDir(target).removeRecursively()) : void(QFile::remove(target));
            Q_EMIT finished(done, std::nullopt, true);
            return;
        } catch (const CopyFailure &failure) {
            Q_EMIT finished(done, u"Could not add %1: %2"_s.arg(name, failure.reason), false);
            return;
        }
        ++done;
    }
    Q_EMIT finished(done, std::nullopt, false);
}

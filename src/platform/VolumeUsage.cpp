#include "VolumeUsage.h"

#include <QCoreApplication>
#include <QCoro/QCoroSignal>
#include <QPointer>
#include <QSet>

#include <sys/statvfs.h>
#include <thread>

namespace VolumeUsage {

namespace {

// Announces, on the main thread, what the measuring thread found; -1 when it found nothing.
class Measurement : public QObject
{
    Q_OBJECT

Q_SIGNALS:
    void done(qint64 used);
};

// Volumes whose measurement has not returned yet; touched on the main thread only.
QSet<QString> &pending()
{
    static QSet<QString> volumes;
    return volumes;
}

} // namespace

QCoro::Task<std::optional<qint64>> usedBytes(QString mountPoint, std::chrono::milliseconds timeout)
{
    if (pending().contains(mountPoint))
        co_return std::nullopt;
    pending().insert(mountPoint);
    Measurement measurement;
    const QPointer<Measurement> target(&measurement);
    std::thread([mountPoint, target] {
        struct statvfs volume;
        const qint64 used = statvfs(mountPoint.toLocal8Bit().constData(), &volume) == 0
                                ? qint64(volume.f_blocks - volume.f_bfree) * qint64(volume.f_frsize)
                                : -1;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [mountPoint, target, used] {
                pending().remove(mountPoint);
                if (target)
                    Q_EMIT target->done(used);
            },
            Qt::QueuedConnection);
    }).detach();
    const std::optional<qint64> used = co_await qCoro(&measurement, &Measurement::done, timeout);
    if (!used || *used < 0)
        co_return std::nullopt;
    co_return *used;
}

} // namespace VolumeUsage

#include "VolumeUsage.moc"

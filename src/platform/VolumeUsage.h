#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <optional>

// The bytes in use on a mounted volume, measured on a thread of its own: when the daemon serving a
// volume has stopped, the measurement never returns, and it must not hold the window. Nothing when
// there is no answer in time; a volume still being measured is not asked again until it answers.
namespace VolumeUsage {

QCoro::Task<std::optional<qint64>> usedBytes(QString mountPoint, std::chrono::milliseconds timeout);

} // namespace VolumeUsage

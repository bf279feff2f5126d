#include "Timestamp.h"

#include <chrono>
#include <cmath>

Timestamp Timestamp::now()
{
    using namespace std::chrono;
    const auto sinceEpoch = duration<double>(system_clock::now().time_since_epoch()).count();
    return {sinceEpoch - referenceDateOffset};
}

Timestamp Timestamp::fromDateTime(const QDateTime &dateTime)
{
    return {double(dateTime.toMSecsSinceEpoch()) / 1000.0 - referenceDateOffset};
}

QDateTime Timestamp::toDateTime() const
{
    const double ms = std::round((secondsSinceReferenceDate + referenceDateOffset) * 1000.0);
    return QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
}

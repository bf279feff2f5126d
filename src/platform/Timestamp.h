#pragma once

#include <QDateTime>

#include <compare>

// A point in time as seconds (with fraction) since 1 January 2001 00:00:00 UTC, the reference date
// of the vault list and the activity log. Kept as the double that the files hold, so a value read
// from a file is written back unchanged.
struct Timestamp
{
    double secondsSinceReferenceDate = 0;

    // Seconds between the Unix epoch and the reference date.
    static constexpr double referenceDateOffset = 978307200.0;

    [[nodiscard]] static Timestamp now();
    [[nodiscard]] static Timestamp fromDateTime(const QDateTime &dateTime);
    [[nodiscard]] QDateTime toDateTime() const;
    [[nodiscard]] Timestamp addSeconds(double seconds) const { return {secondsSinceReferenceDate + seconds}; }

    friend auto operator<=>(const Timestamp &, const Timestamp &) = default;
};

Q_DECLARE_METATYPE(Timestamp)

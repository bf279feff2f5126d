#pragma once

#include "platform/Timestamp.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUuid>

class UserDefaults;

// One line of the activity log.
struct ActivityEvent
{
    Q_GADGET
    Q_PROPERTY(QString id READ idText CONSTANT)
    Q_PROPERTY(QDateTime date READ dateTime CONSTANT)
    Q_PROPERTY(QString text MEMBER text CONSTANT)

public:
    QUuid id;
    Timestamp date;
    QString text;

    [[nodiscard]] QString idText() const;
    [[nodiscard]] QDateTime dateTime() const { return date.toDateTime(); }

    [[nodiscard]] QJsonObject toJson() const;
    [[nodiscard]] static std::optional<ActivityEvent> fromJson(const QJsonObject &object);

    friend bool operator==(const ActivityEvent &, const ActivityEvent &) = default;
};

Q_DECLARE_METATYPE(ActivityEvent)

// The log, newest first, kept as JSON data under the activityLog preference.
namespace ActivityLog {

inline constexpr qsizetype capacity = 50;

// The stored log as it is (no sorting, no trimming); empty when absent or undecodable.
[[nodiscard]] QList<ActivityEvent> load(const UserDefaults &defaults);
// Puts a new event first, keeps the newest fifty and stores the whole log.
void record(QList<ActivityEvent> &log, const QString &text, UserDefaults &defaults);

} // namespace ActivityLog

#include "ActivityEvent.h"

#include "JsonFields.h"
#include "Vault.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QJsonArray>
#include <QJsonDocument>

QString ActivityEvent::idText() const
{
    return uuidText(id);
}

QJsonObject ActivityEvent::toJson() const
{
    return {
        {QStringLiteral("id"), idText()},
        {QStringLiteral("date"), date.secondsSinceReferenceDate},
        {QStringLiteral("text"), text},
    };
}

std::optional<ActivityEvent> ActivityEvent::fromJson(const QJsonObject &object)
{
    using namespace JsonFields;
    const auto id = requiredUuid(object, QStringLiteral("id"));
    const auto date = requiredDate(object, QStringLiteral("date"));
    const auto text = requiredString(object, QStringLiteral("text"));
    if (!id || !date || !text)
        return std::nullopt;
    return ActivityEvent{*id, *date, *text};
}

namespace ActivityLog {

QList<ActivityEvent> load(const UserDefaults &defaults)
{
    const std::optional<QByteArray> data = defaults.dataValue(SettingsKeys::activityLog);
    if (!data)
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(*data);
    if (!document.isArray())
        return {};
    QList<ActivityEvent> log;
    for (const QJsonValue &value : document.array()) {
        std::optional<ActivityEvent> event = ActivityEvent::fromJson(value.toObject());
        if (!value.isObject() || !event)
            return {};
        log.append(*event);
    }
    return log;
}

void record(QList<ActivityEvent> &log, const QString &text, UserDefaults &defaults)
{
    log.prepend(ActivityEvent{QUuid::createUuid(), Timestamp::now(), text});
    if (log.size() > capacity)
        log.resize(capacity);
    QJsonArray array;
    for (const ActivityEvent &event : std::as_const(log))
        array.append(event.toJson());
    defaults.setValue(SettingsKeys::activityLog, QJsonDocument(array).toJson(QJsonDocument::Compact));
}

} // namespace ActivityLog

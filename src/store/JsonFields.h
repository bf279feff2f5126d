#pragma once

#include "platform/Timestamp.h"

#include <QJsonObject>
#include <QUuid>

#include <optional>

// Typed reads of JSON object fields with the decoding rules of the vault list and the activity log:
// a required field that is missing, null or of another type fails, an optional one that is missing
// or null is absent, and an optional one of another type fails.
namespace JsonFields {

// Outer nothing: the field is ill-typed. Inner nothing: the field is absent or null.
template <typename T>
using Field = std::optional<std::optional<T>>;

[[nodiscard]] Field<QString> optionalString(const QJsonObject &object, const QString &key);
[[nodiscard]] Field<bool> optionalBool(const QJsonObject &object, const QString &key);
// Integral numbers only: 1024 and 1024.0 read, 1024.5 fails.
[[nodiscard]] Field<qint64> optionalInteger(const QJsonObject &object, const QString &key);
// A number of seconds since 1 January 2001.
[[nodiscard]] Field<Timestamp> optionalDate(const QJsonObject &object, const QString &key);
// The 36-character UUID text, in either letter case.
[[nodiscard]] Field<QUuid> optionalUuid(const QJsonObject &object, const QString &key);

[[nodiscard]] std::optional<QString> requiredString(const QJsonObject &object, const QString &key);
[[nodiscard]] std::optional<Timestamp> requiredDate(const QJsonObject &object, const QString &key);
[[nodiscard]] std::optional<QUuid> requiredUuid(const QJsonObject &object, const QString &key);

} // namespace JsonFields

#include "JsonFields.h"

#include <cmath>

namespace JsonFields {

namespace {

template <typename T, typename Convert>
Field<T> read(const QJsonObject &object, const QString &key, Convert convert)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<T>();
    const std::optional<T> converted = convert(value);
    if (!converted)
        return std::nullopt;
    return converted;
}

template <typename T>
std::optional<T> required(const Field<T> &field)
{
    return field ? *field : std::nullopt;
}

} // namespace

Field<QString> optionalString(const QJsonObject &object, const QString &key)
{
    return read<QString>(object, key, [](const QJsonValue &value) -> std::optional<QString> {
        return value.isString() ? std::optional(value.toString()) : std::nullopt;
    });
}

Field<bool> optionalBool(const QJsonObject &object, const QString &key)
{
    return read<bool>(object, key, [](const QJsonValue &value) -> std::optional<bool> {
        return value.isBool() ? std::optional(value.toBool()) : std::nullopt;
    });
}

Field<qint64> optionalInteger(const QJsonObject &object, const QString &key)
{
    return read<qint64>(object, key, [](const QJsonValue &value) -> std::optional<qint64> {
        if (!value.isDouble())
            return std::nullopt;
        const double number = value.toDouble();
        if (!std::isfinite(number) || std::trunc(number) != number)
            return std::nullopt;
        // Exact 64-bit integers beyond what a double holds are kept by toInteger.
        const qint64 integer = value.toInteger(std::numeric_limits<qint64>::min());
        if (integer == std::numeric_limits<qint64>::min())
            return std::nullopt;
        return integer;
    });
}

Field<Timestamp> optionalDate(const QJsonObject &object, const QString &key)
{
    return read<Timestamp>(object, key, [](const QJsonValue &value) -> std::optional<Timestamp> {
        if (!value.isDouble() || !std::isfinite(value.toDouble()))
            return std::nullopt;
        return Timestamp{value.toDouble()};
    });
}

Field<QUuid> optionalUuid(const QJsonObject &object, const QString &key)
{
    return read<QUuid>(object, key, [](const QJsonValue &value) -> std::optional<QUuid> {
        const QString text = value.toString();
        if (!value.isString() || text.size() != 36 || text.startsWith(QLatin1Char('{')))
            return std::nullopt;
        const QUuid id = QUuid::fromString(text);
        if (id.isNull() && text != QStringLiteral("00000000-0000-0000-0000-000000000000"))
            return std::nullopt;
        return id;
    });
}

std::optional<QString> requiredString(const QJsonObject &object, const QString &key)
{
    return required(optionalString(object, key));
}

std::optional<Timestamp> requiredDate(const QJsonObject &object, const QString &key)
{
    return required(optionalDate(object, key));
}

std::optional<QUuid> requiredUuid(const QJsonObject &object, const QString &key)
{
    return required(optionalUuid(object, key));
}

} // namespace JsonFields

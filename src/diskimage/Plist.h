#pragma once

#include <QByteArray>
#include <QVariant>

#include <optional>

// XML property lists: the output format of the disk-image tools and the bundle's Info.plist.
//
// Values map to QVariant: dict → QVariantMap, array → QVariantList, string → QString,
// integer → qint64, real → double, true/false → bool, data → QByteArray, date → QDateTime.
namespace Plist {

// The root value; nothing when the document is not a well-formed property list. Hostile input
// (truncated, deeply nested, huge numbers) yields nothing rather than a crash.
[[nodiscard]] std::optional<QVariant> parse(const QByteArray &xml);

// A complete XML property-list document for the value.
[[nodiscard]] QByteArray serialize(const QVariant &root);

} // namespace Plist

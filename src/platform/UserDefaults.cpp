#include "UserDefaults.h"

#include "AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

namespace {

const QString dataTag = QStringLiteral("data");
const QString dateTag = QStringLiteral("date");

QJsonValue toJson(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QByteArray:
        return QJsonObject{{dataTag, QString::fromLatin1(value.toByteArray().toBase64())}};
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &element : value.toList())
            array.append(toJson(element));
        return array;
    }
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    default:
        if (value.metaType() == QMetaType::fromType<Timestamp>())
            return QJsonObject{{dateTag, value.value<Timestamp>().secondsSinceReferenceDate}};
        return QJsonValue(QJsonValue::Null);
    }
}

QVariant fromJson(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (std::trunc(number) == number && std::abs(number) < 9.0e15)
            return value.toInteger();
        return number;
    }
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &element : value.toArray())
            list.append(fromJson(element));
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.size() == 1 && object.value(dataTag).isString())
            return QByteArray::fromBase64(object.value(dataTag).toString().toLatin1());
        if (object.size() == 1 && object.value(dateTag).isDouble())
            return QVariant::fromValue(Timestamp{object.value(dateTag).toDouble()});
        QVariantMap map;
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            map.insert(it.key(), fromJson(it.value()));
        return map;
    }
    default:
        return {};
    }
}

// The leading integer of a text, as a C library reader takes it: "  42abc" is 42, "abc" is 0.
qint64 leadingInteger(const QString &text)
{
    const QString trimmed = text.trimmed();
    qsizetype end = 0;
    if (end < trimmed.size() && (trimmed[end] == u'-' || trimmed[end] == u'+'))
        ++end;
    while (end < trimmed.size() && trimmed[end].isDigit() && trimmed[end].unicode() < 128)
        ++end;
    bool ok = false;
    const qint64 number = trimmed.left(end).toLongLong(&ok);
    return ok ? number : 0;
}

} // namespace

UserDefaults::UserDefaults(const QString &filePath, QObject *parent) : QObject(parent), m_filePath(filePath)
{
    const std::optional<QVariantMap> stored = readFile(m_filePath);
    m_stored = stored.value_or(QVariantMap());
    // An unreadable file is set aside rather than overwritten by the next write.
    if (!stored && QFileInfo::exists(m_filePath)) {
        QFile::remove(m_filePath + QStringLiteral(".unreadable"));
        QFile::rename(m_filePath, m_filePath + QStringLiteral(".unreadable"));
    }
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &UserDefaults::reloadFromDisk);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &UserDefaults::reloadFromDisk);
    watch();
}

UserDefaults &UserDefaults::standard()
{
    static UserDefaults *instance =
        new UserDefaults(AppPaths::preferencesFile(QString::fromLatin1(AppPaths::applicationId)));
    return *instance;
}

std::optional<QVariantMap> UserDefaults::persistentDomain(const QString &applicationId)
{
    return readFile(AppPaths::preferencesFile(applicationId));
}

std::optional<QVariantMap> UserDefaults::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return fromJson(document.object()).toMap();
}

bool UserDefaults::writeFile(const QString &path, const QVariantMap &values)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(toJson(values).toObject()).toJson(QJsonDocument::Indented));
    return file.commit();
}

QVariant UserDefaults::object(const QString &key) const
{
    const auto stored = m_stored.constFind(key);
    if (stored != m_stored.cend())
        return *stored;
    return m_registered.value(key);
}

bool UserDefaults::hasStoredValue(const QString &key) const
{
    return m_stored.contains(key);
}

bool UserDefaults::boolValue(const QString &key) const
{
    const QVariant value = object(key);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Double:
        return value.toDouble() != 0;
    case QMetaType::QString: {
        const QString text = value.toString().trimmed().toLower();
        if (text.startsWith(u'y') || text.startsWith(u't'))
            return true;
        return leadingInteger(text) != 0;
    }
    default:
        return false;
    }
}

qint64 UserDefaults::integerValue(const QString &key) const
{
    const QVariant value = object(key);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? 1 : 0;
    case QMetaType::LongLong:
    case QMetaType::Int:
        return value.toLongLong();
    case QMetaType::Double: {
        const double number = value.toDouble();
        return std::isfinite(number) && std::abs(number) < 9.2e18 ? qint64(number) : 0;
    }
    case QMetaType::QString:
        return leadingInteger(value.toString());
    default:
        return 0;
    }
}

std::optional<QString> UserDefaults::stringValue(const QString &key) const
{
    const QVariant value = object(key);
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::LongLong:
    case QMetaType::Int:
        return QString::number(value.toLongLong());
    case QMetaType::Double:
        return QString::number(value.toDouble());
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    default:
        return std::nullopt;
    }
}

std::optional<QByteArray> UserDefaults::dataValue(const QString &key) const
{
    const QVariant value = object(key);
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray();
    return std::nullopt;
}

std::optional<Timestamp> UserDefaults::dateValue(const QString &key) const
{
    const QVariant value = object(key);
    if (value.metaType() == QMetaType::fromType<Timestamp>())
        return value.value<Timestamp>();
    return std::nullopt;
}

void UserDefaults::setValue(const QString &key, const QVariant &value)
{
    setValues({{key, value}});
}

void UserDefaults::setValues(const QVariantMap &values)
{
    QStringList changedKeys;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!it.value().isValid()) {
            if (m_stored.remove(it.key()) > 0)
                changedKeys.append(it.key());
            continue;
        }
        const QVariant before = object(it.key());
        m_stored.insert(it.key(), it.value());
        if (before != it.value())
            changedKeys.append(it.key());
    }
    save();
    for (const QString &key : std::as_const(changedKeys))
        Q_EMIT changed(key);
}

void UserDefaults::removeValue(const QString &key)
{
    setValues({{key, QVariant()}});
}

void UserDefaults::registerDefaults(const QVariantMap &defaults)
{
    QStringList changedKeys;
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        if (!m_stored.contains(it.key()) && m_registered.value(it.key()) != it.value())
            changedKeys.append(it.key());
        m_registered.insert(it.key(), it.value());
    }
    for (const QString &key : std::as_const(changedKeys))
        Q_EMIT changed(key);
}

void UserDefaults::save()
{
    // A failed write keeps the values in memory; the next write tries again.
    writeFile(m_filePath, m_stored);
    watch();
}

void UserDefaults::watch()
{
    const QString directory = QFileInfo(m_filePath).absolutePath();
    if (QFileInfo::exists(directory) && !m_watcher.directories().contains(directory))
        m_watcher.addPath(directory);
    if (QFileInfo::exists(m_filePath) && !m_watcher.files().contains(m_filePath))
        m_watcher.addPath(m_filePath);
}

void UserDefaults::reloadFromDisk()
{
    watch();
    // A file that is missing or being replaced is not a reason to forget what we hold.
    const std::optional<QVariantMap> onDisk = readFile(m_filePath);
    if (!onDisk || *onDisk == m_stored)
        return;
    QStringList keys = m_stored.keys() + onDisk->keys();
    keys.removeDuplicates();
    QStringList changedKeys;
    for (const QString &key : std::as_const(keys)) {
        const QVariant before = object(key);
        const QVariant after = onDisk->contains(key) ? onDisk->value(key) : m_registered.value(key);
        if (before != after)
            changedKeys.append(key);
    }
    m_stored = *onDisk;
    for (const QString &key : std::as_const(changedKeys))
        Q_EMIT changed(key);
}

#pragma once

#include "Timestamp.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QVariantMap>

#include <optional>

// Typed per-user preferences kept in one JSON file.
//
// Values are Booleans, integers, reals, strings, data, dates, arrays and dictionaries. JSON holds
// the first four natively; data is written as {"data": "<base64>"} and a date as
// {"date": <seconds since 2001>}. Registered defaults are in-memory fallbacks that are never
// written and never win over a stored value. Every write replaces the file atomically and emits
// changed(key); edits made to the file by another process are picked up as well.
class UserDefaults : public QObject
{
    Q_OBJECT

public:
    explicit UserDefaults(const QString &filePath, QObject *parent = nullptr);

    // The application's own preferences ($XDG_CONFIG_HOME/org.hollowkeep.Hollowkeep.json).
    [[nodiscard]] static UserDefaults &standard();

    // Another application's stored preferences, read once; nothing when it has no readable file.
    [[nodiscard]] static std::optional<QVariantMap> persistentDomain(const QString &applicationId);

    [[nodiscard]] QString filePath() const { return m_filePath; }

    // The stored value, else the registered default, else an invalid QVariant.
    [[nodiscard]] QVariant object(const QString &key) const;
    // Whether a value is stored (registered defaults do not count).
    [[nodiscard]] bool hasStoredValue(const QString &key) const;
    [[nodiscard]] QVariantMap storedValues() const { return m_stored; }

    // Typed reads that convert the way a reader expects: a string "yes" or "1" reads as true, a
    // number as the string of its digits, anything unusable as false, 0 or nothing.
    [[nodiscard]] bool boolValue(const QString &key) const;
    [[nodiscard]] qint64 integerValue(const QString &key) const;
    [[nodiscard]] std::optional<QString> stringValue(const QString &key) const;
    [[nodiscard]] std::optional<QByteArray> dataValue(const QString &key) const;
    [[nodiscard]] std::optional<Timestamp> dateValue(const QString &key) const;

    void setValue(const QString &key, const QVariant &value);
    // Stores several values with one write of the file.
    void setValues(const QVariantMap &values);
    void removeValue(const QString &key);

    void registerDefaults(const QVariantMap &defaults);

    // The file format, shared with the reader of another application's preferences.
    [[nodiscard]] static std::optional<QVariantMap> readFile(const QString &path);
    static bool writeFile(const QString &path, const QVariantMap &values);

Q_SIGNALS:
    void changed(const QString &key);

private:
    void reloadFromDisk();
    void save();
    void watch();

    QString m_filePath;
    QVariantMap m_stored;
    QVariantMap m_registered;
    QFileSystemWatcher m_watcher;
};

#pragma once

#include <QDir>
#include <QTemporaryDir>

// Points HOME and the XDG folders at a fresh temporary folder for the life of a test, so that no test
// ever reads or writes the real home, keyring or ~/Vaults.
class TestEnvironment
{
public:
    TestEnvironment()
    {
        const QString root = m_root.path();
        for (const char *folder : {"home", "config", "data", "runtime", "cache"})
            QDir(root).mkpath(QLatin1String(folder));
        QFile::setPermissions(root + QStringLiteral("/runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("HOME", (root + QStringLiteral("/home")).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toLocal8Bit());
        qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/runtime")).toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/cache")).toLocal8Bit());
    }

    [[nodiscard]] QString root() const { return m_root.path(); }
    [[nodiscard]] QString home() const { return m_root.path() + QStringLiteral("/home"); }
    [[nodiscard]] QString config() const { return m_root.path() + QStringLiteral("/config"); }
    [[nodiscard]] QString data() const { return m_root.path() + QStringLiteral("/data"); }
    [[nodiscard]] QString runtime() const { return m_root.path() + QStringLiteral("/runtime"); }

private:
    QTemporaryDir m_root;
};

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

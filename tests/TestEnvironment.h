#pragma once

#include "store/Vault.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>

using namespace Qt::StringLiterals;

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
        QFile::setPermissions(root + u"/runtime"_s,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("HOME", (root + u"/home"_s).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (root + u"/config"_s).toLocal8Bit());
        qputenv("XDG_DATA_HOME", (root + u"/data"_s).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", (root + u"/runtime"_s).toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (root + u"/cache"_s).toLocal8Bit());
        // Update checks of a program under test ask nobody (the discard port refuses at once).
        if (qEnvironmentVariableIsEmpty("HOLLOWKEEP_UPDATE_SERVER"))
            qputenv("HOLLOWKEEP_UPDATE_SERVER", "http://127.0.0.1:9");
    }

    [[nodiscard]] QString root() const { return m_root.path(); }
    [[nodiscard]] QString home() const { return m_root.path() + u"/home"_s; }
    [[nodiscard]] QString config() const { return m_root.path() + u"/config"_s; }
    [[nodiscard]] QString data() const { return m_root.path() + u"/data"_s; }
    [[nodiscard]] QString runtime() const { return m_root.path() + u"/runtime"_s; }

private:
    QTemporaryDir m_root;
};

// A new vault record with a fresh id, kept from opening the file manager after an unlock.
inline Vault testVault(const QString &name, const QString &bundlePath, int maxSizeMB = 1024)
{
    Vault vault;
    vault.id = QUuid::createUuid();
    vault.name = name;
    vault.bundlePath = bundlePath;
    vault.maxSizeMB = maxSizeMB;
    vault.createdAt = Timestamp::now();
    vault.openInFinderAfterUnlock = false;
    return vault;
}

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

// What a program left when it ended: its exit status and both outputs.
struct ToolRun
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program to its end with that standard input; a crash or a hang gives the status -1.
// childSetup runs in the child before the program starts.
inline ToolRun runProgram(const QString &program, const QStringList &arguments, const QByteArray &input = {},
                          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                          int timeoutMs = 300000, const std::function<void()> &childSetup = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (childSetup)
        process.setChildProcessModifier(childSetup);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs))
        process.kill();
    process.waitForFinished();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// The argument vectors and environments of running processes (/proc files) that hold the bytes.
inline QStringList processFilesContaining(const QByteArray &needle)
{
    QStringList found;
    for (const QString &pid : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const QString &part : {u"cmdline"_s, u"environ"_s}) {
            if (readAll(u"/proc/%1/%2"_s.arg(pid, part)).contains(needle))
                found << u"/proc/%1/%2"_s.arg(pid, part);
        }
    }
    return found;
}

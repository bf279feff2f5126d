#pragma once

#include "TestEnvironment.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QTemporaryDir>

#include <exception>

// Stand-ins for the disk-image tools (tests/data/fake-tool) that record their argument vectors and
// standard-input bytes and answer with canned output. Pointing HOLLOWKEEP_TOOLS_DIR at them makes
// the engine run them instead of the real tools.
class FakeTools
{
public:
    struct Call
    {
        QString tool;
        QStringList arguments;
        QByteArray input;
    };

    FakeTools()
    {
        for (const char *tool : {"hdiutil", "diskutil", "mdutil", "du"})
            QFile::link(QStringLiteral(TESTS_DATA_DIR "/fake-tool"),
                        folder() + QLatin1Char('/') + QLatin1String(tool));
        QDir(folder()).mkpath(QStringLiteral("responses"));
        qputenv("HOLLOWKEEP_TOOLS_DIR", folder().toLocal8Bit());
    }
    ~FakeTools() { qunsetenv("HOLLOWKEEP_TOOLS_DIR"); }

    [[nodiscard]] QString folder() const { return m_folder.path(); }

    // Sets the answer of a key ("hdiutil-attach", "du", …); call 0 answers every call without a
    // numbered answer of its own.
    void respond(const QString &key, const QByteArray &out, const QByteArray &err = {}, int status = 0,
                 int call = 0)
    {
        const QString base = folder() + QStringLiteral("/responses/") + key +
                             (call > 0 ? QStringLiteral(".%1").arg(call) : QString());
        writeAll(base + QStringLiteral(".stdout"), out);
        writeAll(base + QStringLiteral(".stderr"), err);
        writeAll(base + QStringLiteral(".status"), QByteArray::number(status));
    }
    // Every attach succeeds at this folder.
    void respondAttachAt(const QString &mountPoint)
    {
        QDir().mkpath(mountPoint);
        respond(QStringLiteral("hdiutil-attach"),
                "<plist><dict><key>system-entities</key><array><dict><key>mount-point</key><string>" +
                    mountPoint.toUtf8() + "</string></dict></array></dict></plist>");
    }
    // Every attach refuses the password, as the real tool does.
    void respondAttachRefused()
    {
        respond(QStringLiteral("hdiutil-attach"), {}, "hdiutil: attach failed - Authentication error", 1);
    }
    // du measures every path it is given at that many kilobytes.
    void respondSizeKB(qint64 kilobytes)
    {
        respond(QStringLiteral("du"), {});
        script(QStringLiteral("du"), "for p in \"$@\"; do case $p in -*) ;; *) printf '%s\\t%s\\n' " +
                                         QByteArray::number(kilobytes) + " \"$p\";; esac; done\n");
    }
    // A shell snippet run before the answer; "$@" holds the arguments.
    void script(const QString &key, const QByteArray &body, int call = 0)
    {
        writeAll(folder() + QStringLiteral("/responses/") + key +
                     (call > 0 ? QStringLiteral(".%1").arg(call) : QString()) + QStringLiteral(".sh"),
                 body);
    }

    [[nodiscard]] QList<Call> calls() const
    {
        QList<Call> result;
        for (const QByteArray &line : readAll(folder() + QStringLiteral("/calls.log")).split('\n')) {
            if (line.isEmpty())
                continue;
            const QList<QByteArray> fields = line.split(' ');
            Call call{QString::fromUtf8(QByteArray::fromBase64(fields.first())),
                      {},
                      QByteArray::fromBase64(fields.last())};
            for (qsizetype i = 1; i + 1 < fields.size(); ++i)
                call.arguments << QString::fromUtf8(QByteArray::fromBase64(fields[i]));
            result << call;
        }
        return result;
    }
    void clearCalls() { QFile::remove(folder() + QStringLiteral("/calls.log")); }
    void reset()
    {
        QDir(folder() + QStringLiteral("/responses")).removeRecursively();
        QDir(folder() + QStringLiteral("/counts")).removeRecursively();
        QDir(folder()).mkpath(QStringLiteral("responses"));
        clearCalls();
    }

private:
    QTemporaryDir m_folder;
};

// A coroutine's value or its error, awaited in a nested event loop.
template <typename T>
struct Outcome
{
    std::optional<T> value;
    std::exception_ptr error;
};

template <>
struct Outcome<void>
{
    bool done = false;
    std::exception_ptr error;
};

template <typename T>
QCoro::Task<Outcome<T>> captured(QCoro::Task<T> task)
{
    Outcome<T> outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome.done = true;
        } else {
            outcome.value = co_await std::move(task);
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

template <typename T>
Outcome<T> awaitTask(QCoro::Task<T> &&task)
{
    return QCoro::waitFor(captured(std::move(task)));
}

#pragma once

#include "TestEnvironment.h"
#include "platform/TouchID.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QTemporaryDir>

#include <exception>

// What attach -plist answers: one system entity per mount point, an empty one for an entity that
// has none (a partition map).
inline QByteArray attachPlist(const QStringList &mountPoints)
{
    QByteArray entities;
    for (const QString &mountPoint : mountPoints)
        entities += mountPoint.isEmpty()
                        ? "<dict><key>content-hint</key><string>GUID_partition_scheme</string></dict>"
                        : "<dict><key>mount-point</key><string>" + mountPoint.toUtf8() + "</string></dict>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
           "version=\"1.0\"><dict><key>system-entities</key><array>" +
           entities + "</array></dict></plist>\n";
}

// What info -plist answers for these (image, mount point) pairs; an empty mount point: none.
inline QByteArray infoPlist(const QList<QPair<QString, QString>> &images)
{
    QByteArray body;
    for (const auto &[path, mountPoint] : images) {
        body += "<dict><key>image-path</key><string>" + path.toUtf8() +
                "</string><key>system-entities</key><array>";
        if (!mountPoint.isEmpty())
            body += "<dict><key>mount-point</key><string>" + mountPoint.toUtf8() + "</string></dict>";
        body += "</array></dict>";
    }
    return "<plist version=\"1.0\"><dict><key>images</key><array>" + body + "</array></dict></plist>";
}

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
        QDir(folder()).mkpath(u"responses"_s);
        qputenv("HOLLOWKEEP_TOOLS_DIR", folder().toLocal8Bit());
    }
    ~FakeTools() { qunsetenv("HOLLOWKEEP_TOOLS_DIR"); }

    [[nodiscard]] QString folder() const { return m_folder.path(); }

    // Sets the answer of a key ("hdiutil-attach", "du", …); call 0 answers every call without a
    // numbered answer of its own.
    void respond(const QString &key, const QByteArray &out, const QByteArray &err = {}, int status = 0,
                 int call = 0)
    {
        const QString base = folder() + u"/responses/"_s + key + (call > 0 ? u".%1"_s.arg(call) : QString());
        writeAll(base + u".stdout"_s, out);
        writeAll(base + u".stderr"_s, err);
        writeAll(base + u".status"_s, QByteArray::number(status));
    }
    // Every attach succeeds at this folder.
    void respondAttachAt(const QString &mountPoint)
    {
        QDir().mkpath(mountPoint);
        respond(u"hdiutil-attach"_s, attachPlist({mountPoint}));
    }
    // Every attach refuses the password, as the real tool does; or, when not, succeeds at a folder of
    // the stand-ins' own. That folder lies on another file system than the one holding it, as a
    // mounted volume does (imports write only into a mounted vault): it links to one in /dev/shm.
    void refuseAttach(bool refuse = true)
    {
        if (refuse) {
            respond(u"hdiutil-attach"_s, {}, "hdiutil: attach failed - Authentication error", 1);
            return;
        }
        const QString volume = folder() + u"/volume"_s;
        if (m_volume.isValid() && !QFileInfo(volume).isSymLink())
            QFile::link(m_volume.path(), volume);
        respondAttachAt(volume);
    }
    // du measures every path it is given at that many kilobytes.
    void respondSizeKB(qint64 kilobytes)
    {
        respond(u"du"_s, {});
        script(u"du"_s, "for p in \"$@\"; do case $p in -*) ;; *) printf '%s\\t%s\\n' " +
                            QByteArray::number(kilobytes) + " \"$p\";; esac; done\n");
    }
    // A shell snippet run before the answer; "$@" holds the arguments.
    void script(const QString &key, const QByteArray &body, int call = 0)
    {
        writeAll(folder() + u"/responses/"_s + key + (call > 0 ? u".%1"_s.arg(call) : QString()) + u".sh"_s,
                 body);
    }

    [[nodiscard]] QList<Call> calls() const
    {
        QList<Call> result;
        for (const QByteArray &line : readAll(folder() + u"/calls.log"_s).split('\n')) {
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
    void clearCalls() { QFile::remove(folder() + u"/calls.log"_s); }
    void reset()
    {
        QDir(folder() + u"/responses"_s).removeRecursively();
        QDir(folder() + u"/counts"_s).removeRecursively();
        QDir(folder()).mkpath(u"responses"_s);
        clearCalls();
    }

private:
    QTemporaryDir m_folder;
    QTemporaryDir m_volume{u"/dev/shm/hollowkeep-volume-XXXXXX"_s};
};

// Owner authentication answered by the test, which records the reasons it was asked for.
struct ScriptedAuthentication
{
    bool answer = true;
    QStringList reasons;

    ScriptedAuthentication()
    {
        TouchID::setAuthenticator([this](QString reason) -> QCoro::Task<bool> {
            reasons << reason;
            co_return answer;
        });
    }
    ~ScriptedAuthentication() { TouchID::setAuthenticator({}); }
};

// A coroutine's value or its error, awaited in a nested event loop.
template <typename T>
struct Awaited
{
    std::optional<T> value;
    std::exception_ptr error;
};

template <>
struct Awaited<void>
{
    bool done = false;
    std::exception_ptr error;
};

template <typename T>
QCoro::Task<Awaited<T>> captured(QCoro::Task<T> task)
{
    Awaited<T> outcome;
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
Awaited<T> awaitTask(QCoro::Task<T> &&task)
{
    return QCoro::waitFor(captured(std::move(task)));
}

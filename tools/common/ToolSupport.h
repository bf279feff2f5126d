#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

#include <sys/types.h>

// What every disk-image tool shares: failing with a message, reading passwords, running helpers.
namespace Tool {

// A failure that ends the command: printed as "<tool>: <verb> failed - <message>" on standard
// error, and the exit status.
struct Error
{
    QString message;
    int status = 1;
    // Printed alone, without the tool and verb: a sentence meant for the user as it stands.
    bool sentence = false;
};

// Exit statuses beyond the generic 1.
inline constexpr int statusBusy = 16;            // EBUSY
inline constexpr int statusAuthentication = 80;  // the password was rejected
inline constexpr int statusInvalidArgument = 22; // EINVAL
inline constexpr int statusStopped = 143;        // stopped on request, as a SIGTERM would end it

// Stopping long work part-way. The program asks with SIGTERM; while a StopRequests lives, the
// signal only marks the request and the command stops where that is safe: at stopIfAsked(), or
// in a helper run while a HelpersMayStop lives (read-only checks, never a repair).
class StopRequests
{
public:
    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests &) = delete;
    StopRequests &operator=(const StopRequests &) = delete;
};
class HelpersMayStop
{
public:
    HelpersMayStop();
    ~HelpersMayStop();
    HelpersMayStop(const HelpersMayStop &) = delete;
    HelpersMayStop &operator=(const HelpersMayStop &) = delete;
};
[[nodiscard]] bool stopAsked();
// Ends the command with statusStopped when a stop was asked for.
void stopIfAsked();

// Runs one command of a tool: calls body, prints an Error the way the tools do, answers the status.
// The process may not be dumped or traced by others of its user, and every secret kept is wiped
// at the end.
int runCommand(const QString &tool, const QString &verb, const std::function<void()> &body);

// Everything on standard input, kept as a secret.
[[nodiscard]] QByteArray readStandardInput();
// Bytes of a password: the buffer is wiped when the command ends, however it ends. Answers the
// same bytes.
QByteArray keepSecret(QByteArray bytes);
// A password as the -stdinpass options take it: the bytes up to the first NUL or the end.
[[nodiscard]] QByteArray passwordFromInput(const QByteArray &input);
// Passwords are handed to gocryptfs as one line, so they must be non-empty and free of line breaks.
void requireUsablePassword(const QByteArray &password, const QString &what = QStringLiteral("password"));

// An installed helper program: PATH first, then the system folders an ordinary user's PATH may lack.
[[nodiscard]] QString helper(const QString &name);

struct HelperResult
{
    int status = -1;
    QByteArray output; // standard output and standard error together
};

// Runs a helper to completion with input on its standard input.
//
// detaching: the helper starts a daemon (a FUSE mount) that would inherit its output, so the
// output goes to a private temporary file instead of a pipe; otherwise the caller would wait for
// an end of file that comes only when the vault is locked.
//
// onLine, when given, sees each whole line of output as it comes (not with detaching).
using LineObserver = std::function<void(const QByteArray &line)>;
HelperResult runHelper(const QString &program, const QStringList &arguments, const QByteArray &input = {},
                       bool detaching = false, const LineObserver &onLine = {});

// Tells whoever runs the tool how far a long step is, as one line on standard error:
// "progress: PERCENT STAGE", written only when either changed.
void reportProgress(int percent, const QString &stage);

// Runs a helper and turns a failure into an Error carrying its last lines.
QByteArray runHelperOrFail(const QString &what, const QString &program, const QStringList &arguments,
                           const QByteArray &input = {});

// The last non-empty lines of a helper's output, joined by "; ".
[[nodiscard]] QString lastLines(const QByteArray &output, int count = 2);

// Parses a size argument: a number with an optional unit b, k, m, g or t (binary multiples).
[[nodiscard]] std::optional<qint64> parseSize(const QString &text);

// Removes a path and everything below it; only ever used on what the tool itself created.
void removeTree(const QString &path);

// Runs a cleanup unless dismissed: undoes the steps of a command that fails half-way.
class Rollback
{
public:
    explicit Rollback(std::function<void()> undo) : m_undo(std::move(undo)) {}
    ~Rollback()
    {
        try {
            if (m_undo)
                m_undo();
        } catch (...) {
            // Undoing is best effort; the original failure is what gets reported.
        }
    }
    Rollback(const Rollback &) = delete;
    Rollback &operator=(const Rollback &) = delete;
    void dismiss() { m_undo = nullptr; }

private:
    std::function<void()> m_undo;
};

} // namespace Tool

#include "ToolSupport.h"

#include "MountTable.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

namespace Tool {

namespace {

QList<QByteArray> &secrets()
{
    static QList<QByteArray> kept;
    return kept;
}

void wipeSecrets()
{
    // Through the shared buffers themselves: every copy that still shares one is wiped with it.
    for (const QByteArray &secret : std::as_const(secrets()))
        memset(const_cast<char *>(secret.constData()), 0, size_t(secret.size()));
    secrets().clear();
}

volatile std::sig_atomic_t stopMarked = 0;
bool helpersStop = false;

void markStop(int)
{
    stopMarked = 1;
}

} // namespace

StopRequests::StopRequests()
{
    struct sigaction action = {};
    action.sa_handler = markStop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    // A request that came while the signal was blocked is taken now.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
}

StopRequests::~StopRequests()
{
    signal(SIGTERM, SIG_DFL);
}

HelpersMayStop::HelpersMayStop()
{
    helpersStop = true;
}

HelpersMayStop::~HelpersMayStop()
{
    helpersStop = false;
}

bool stopAsked()
{
    return stopMarked != 0;
}

void stopIfAsked()
{
    if (stopAsked())
        throw Error{QStringLiteral("stopped on request"), statusStopped};
}

int runCommand(const QString &tool, const QString &verb, const std::function<void()> &body)
{
    prctl(PR_SET_DUMPABLE, 0);
    const auto wipe = qScopeGuard(wipeSecrets);
    try {
        body();
        return 0;
    } catch (const Error &error) {
        const QString text = error.sentence ? error.message
                                            : tool + QStringLiteral(": ") + verb +
                                                  QStringLiteral(" failed - ") + error.message;
        const QByteArray line = text.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        return error.status;
    }
}

QByteArray keepSecret(QByteArray bytes)
{
    secrets().append(bytes);
    return bytes;
}

QByteArray readStandardInput()
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return {};
    return keepSecret(input.readAll());
}

QByteArray passwordFromInput(const QByteArray &input)
{
    const qsizetype end = input.indexOf('\0');
    return keepSecret(end < 0 ? input : input.left(end));
}

void requireUsablePassword(const QByteArray &password, const QString &what)
{
    if (password.isEmpty())
        throw Error{QStringLiteral("the %1 is empty").arg(what)};
    if (password.contains('\n') || password.contains('\r'))
        throw Error{QStringLiteral("a %1 cannot contain a line break").arg(what)};
}

QString helper(const QString &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                     QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    if (path.isEmpty())
        throw Error{QStringLiteral("%1 is not installed").arg(name)};
    return path;
}

HelperResult runHelper(const QString &program, const QStringList &arguments, const QByteArray &input,
                       bool detaching, const LineObserver &onLine)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    QTemporaryFile outputFile(MountTable::privateTemporaryFolder() + QStringLiteral("/helper-XXXXXX.log"));
    if (detaching) {
        if (!outputFile.open())
            throw Error{QStringLiteral("cannot create a temporary file")};
        process.setStandardOutputFile(outputFile.fileName(), QIODevice::Append);
        process.setStandardErrorFile(outputFile.fileName(), QIODevice::Append);
    } else {
        process.setProcessChannelMode(QProcess::MergedChannels);
    }
    process.start();
    if (!process.waitForStarted(-1))
        throw Error{QStringLiteral("cannot run %1").arg(QFileInfo(program).fileName())};
    process.write(input);
    process.closeWriteChannel();
    HelperResult result;
    if (!detaching) {
        // Read as it comes so a chatty helper never blocks on a full pipe.
        qsizetype seen = 0;
        const auto observe = [&] {
            for (qsizetype end; onLine && (end = result.output.indexOf('\n', seen)) >= 0; seen = end + 1)
                onLine(result.output.mid(seen, end - seen));
        };
        while (process.state() != QProcess::NotRunning) {
            if (helpersStop && stopAsked()) {
                process.terminate();
                if (!process.waitForFinished(5000))
                    process.kill();
                process.waitForFinished(-1);
                stopIfAsked();
            }
            process.waitForReadyRead(100);
            result.output += process.readAll();
            observe();
        }
        process.waitForFinished(-1);
        result.output += process.readAll();
        observe();
    }
    process.waitForFinished(-1);
    if (detaching)
        result.output += outputFile.readAll();
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128 + 9;
    return result;
}

void reportProgress(int percent, const QString &stage)
{
    // A line only when something changed: the callers report as often as they learn anything.
    static int lastPercent = -1;
    static QString lastStage;
    percent = std::clamp(percent, 0, 100);
    if (percent == lastPercent && stage == lastStage)
        return;
    lastPercent = percent;
    lastStage = stage;
    std::fprintf(stderr, "progress: %d %s\n", percent, stage.toUtf8().constData());
    std::fflush(stderr);
}

QByteArray runHelperOrFail(const QString &what, const QString &program, const QStringList &arguments,
                           const QByteArray &input)
{
    const HelperResult result = runHelper(program, arguments, input);
    if (result.status != 0)
        throw Error{what + QStringLiteral(": ") + lastLines(result.output)};
    return result.output;
}

QString lastLines(const QByteArray &output, int count)
{
    QStringList lines;
    for (const QByteArray &line : output.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty())
            lines.append(text);
    }
    return lines.mid(std::max<qsizetype>(0, lines.size() - count)).join(QStringLiteral("; "));
}

std::optional<qint64> parseSize(const QString &text)
{
    QString digits = text.trimmed().toLower();
    qint64 unit = 1;
    if (!digits.isEmpty() && digits.back().isLetter()) {
        const QChar suffix = digits.back();
        digits.chop(1);
        const QString units = QStringLiteral("bkmgt");
        const qsizetype power = units.indexOf(suffix);
        if (power < 0)
            return std::nullopt;
        unit = qint64(1) << (10 * power);
    }
    bool ok = false;
    const qint64 number = digits.toLongLong(&ok);
    qint64 bytes = 0;
    if (!ok || number < 0 || __builtin_mul_overflow(number, unit, &bytes))
        return std::nullopt;
    return bytes;
}

void removeTree(const QString &path)
{
    if (!path.isEmpty())
        QDir(path).removeRecursively();
}

} // namespace Tool

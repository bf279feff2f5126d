#include "DiskImage.h"

#include "Plist.h"
#include "ToolPaths.h"

#include <QCoro/QCoroProcess>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringDecoder>

using namespace Qt::Literals::StringLiterals;
namespace DiskImage {

namespace {

// How long a tool may take. Looking up what is attached only reads tables; work on a whole
// vault (creating, checking, repairing after a crash, compacting, resizing) reads all of it.
constexpr std::chrono::seconds lookupTimeout(30);
constexpr std::chrono::hours wholeVaultTimeout(4);
std::chrono::milliseconds timeLimitCap{0};

QString sizeArgument(qint64 megabytes)
{
    return QString::number(megabytes) + QLatin1Char('m');
}

QByteArray passwordBytes(const QString &password)
{
    return password.toUtf8();
}

// Decodes output as UTF-8; anything that is not valid UTF-8 reads as the empty text.
QString utf8OrEmpty(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    return decoder.hasError() ? QString() : text;
}

// A failed run of a password-taking tool: the password test first, then the tool's own message.
[[noreturn]] void failWithPasswordCheck(const ProcessResult &result, const QString &prefix)
{
    const QString text = stderrText(result.stderrData);
    if (isAuthenticationFailure(text))
        throw DiskImageError::badPassword();
    throw DiskImageError::commandFailed(prefix + text);
}

QList<QVariantMap> dictionaries(const QVariant &value)
{
    QList<QVariantMap> result;
    if (value.typeId() != QMetaType::QVariantList)
        return result;
    for (const QVariant &element : value.toList()) {
        if (element.typeId() == QMetaType::QVariantMap)
            result.append(element.toMap());
    }
    return result;
}

// The "mount-point" texts of a "system-entities" array, in order; nothing when there is no array
// of dictionaries.
std::optional<QStringList> entityMountPoints(const QVariantMap &owner)
{
    const QVariant entities = owner.value(u"system-entities"_qs);
    if (entities.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    QStringList mountPoints;
    for (const QVariantMap &entity : dictionaries(entities)) {
        const QVariant mountPoint = entity.value(u"mount-point"_qs);
        if (mountPoint.typeId() == QMetaType::QString)
            mountPoints.append(mountPoint.toString());
    }
    return mountPoints;
}

// A tool's "progress: PERCENT STAGE" line, read as the percentage and the stage.
std::optional<std::pair<int, QString>> progressIn(const QByteArray &line)
{
    static const QRegularExpression pattern(u"^progress: (\\d{1,3}) (.*)$"_qs);
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line).trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    return std::pair{std::min(match.captured(1).toInt(), 100), match.captured(2)};
}

// The status a tool ends with when it stopped on request.
constexpr int stoppedStatus = 143;

} // namespace

void StopSwitch::pull()
{
    m_pulled = true;
    if (auto *process = qobject_cast<QProcess *>(m_process.data()))
        process->terminate();
}

void StopSwitch::watch(QObject *process)
{
    m_process = process;
}

QCoro::Task<ProcessResult> run(const QString &executable, const QStringList &arguments,
                               std::optional<QByteArray> stdinData, std::chrono::milliseconds timeout,
                               const ProgressObserver &onProgress, StopSwitch *stop)
{
    if (stop && stop->pulled())
        throw DiskImageError::stopped();
    if (timeLimitCap.count() > 0)
        timeout = std::min(timeout, timeLimitCap);
    // A program that cannot run is known before starting it; waiting for a start that never
    // comes would otherwise hold the caller until a time-out.
    if (!QFileInfo(executable).isExecutable() || QFileInfo(executable).isDir())
        throw LaunchError(u"Could not run “%1”: no such program."_qs.arg(executable));
    QProcess process;
    process.setProgram(executable);
    process.setArguments(arguments);
    // Standard error as it comes: progress lines are taken out, the rest is kept.
    QByteArray errors, pending;
    const auto takeErrors = [&](bool all) {
        pending += process.readAllStandardError();
        qsizetype end = 0;
        while ((end = pending.indexOf('\n')) >= 0 || (all && !pending.isEmpty())) {
            const QByteArray line = end >= 0 ? pending.left(end + 1) : pending;
            pending.remove(0, line.size());
            const std::optional<std::pair<int, QString>> progress = progressIn(line);
            if (!progress)
                errors += line;
            else if (onProgress)
                onProgress(progress->first, progress->second);
        }
    };
    const QMetaObject::Connection reading =
        QObject::connect(&process, &QProcess::readyReadStandardError, [&] { takeErrors(false); });
    // Cut before the buffers go: the process may still signal while it is destroyed.
    const auto stopReading = qScopeGuard([&] { QObject::disconnect(reading); });
    const bool started = co_await qCoro(process).start(QIODevice::ReadWrite, std::chrono::seconds(10));
    if (!started)
        throw LaunchError(u"Could not run “%1”: %2"_qs.arg(executable, process.errorString()));
    if (stop)
        stop->watch(&process);
    // Pulled while the tool was starting.
    if (stop && stop->pulled())
        process.terminate();
    const auto unwatch = qScopeGuard([stop] {
        if (stop)
            stop->watch(nullptr);
    });
    // The child may exit without reading; the failed write is of no consequence.
    if (stdinData && !stdinData->isEmpty())
        process.write(*stdinData);
    process.closeWriteChannel();
    const bool finished = co_await qCoro(process).waitForFinished(timeout);
    if (!finished) {
        process.kill();
        co_await qCoro(process).waitForFinished(std::chrono::seconds(5));
        const qint64 seconds = (timeout.count() + 999) / 1000;
        throw DiskImageError::commandFailed(u"“%1 %2” did not finish within %3 and was stopped."_qs.arg(
            QFileInfo(executable).fileName(), arguments.value(0),
            seconds == 1 ? u"1 second"_qs : u"%1 seconds"_qs.arg(seconds)));
    }
    ProcessResult result;
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (stop && stop->pulled() && (result.status == stoppedStatus || result.status == -1))
        throw DiskImageError::stopped();
    result.stdoutData = process.readAllStandardOutput();
    takeErrors(true);
    result.stderrData = errors;
    co_return result;
}

void setTimeLimitCap(std::chrono::milliseconds cap)
{
    timeLimitCap = cap;
}

QString stderrText(const QByteArray &stderrData)
{
    return utf8OrEmpty(stderrData);
}

bool isAuthenticationFailure(const QString &text)
{
    return text.contains(QLatin1String("authentication"), Qt::CaseInsensitive);
}

std::optional<QString> mountPointFromAttachOutput(const QByteArray &plist)
{
    const std::optional<QVariant> root = Plist::parse(plist);
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const std::optional<QStringList> mountPoints = entityMountPoints(root->toMap());
    if (!mountPoints || mountPoints->isEmpty())
        return std::nullopt;
    return mountPoints->first();
}

QString repairReportFromAttachOutput(const QByteArray &plist)
{
    const std::optional<QVariant> root = Plist::parse(plist);
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return {};
    const QVariant report = root->toMap().value(u"repair-report"_qs);
    return report.typeId() == QMetaType::QString ? report.toString() : QString();
}

QMap<QString, QString> imagesFromInfoOutput(const QByteArray &plist)
{
    QMap<QString, QString> images;
    const std::optional<QVariant> root = Plist::parse(plist);
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return images;
    for (const QVariantMap &image : dictionaries(root->toMap().value(u"images"_qs))) {
        const QVariant path = image.value(u"image-path"_qs);
        const std::optional<QStringList> mountPoints = entityMountPoints(image);
        if (path.typeId() != QMetaType::QString || !mountPoints || mountPoints->isEmpty())
            continue;
        images.insert(path.toString(), mountPoints->first());
    }
    return images;
}

qint64 sizeFromDuOutput(const QByteArray &output)
{
    const QStringList pieces = utf8OrEmpty(output).split(QLatin1Char('\t'), Qt::SkipEmptyParts);
    bool ok = false;
    const qint64 kilobytes = pieces.value(0).toLongLong(&ok);
    qint64 bytes = 0;
    if (!ok || __builtin_mul_overflow(kilobytes, qint64(1024), &bytes))
        return 0;
    return bytes;
}

QString resolvedPath(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

QCoro::Task<void> create(const QString &image, const QString &volumeName, qint64 maxSizeMB,
                         const QString &password)
{
    const QStringList arguments{u"create"_qs, u"-encryption"_qs,       u"AES-256"_qs,  u"-stdinpass"_qs,
                                u"-type"_qs,  u"SPARSEBUNDLE"_qs,      u"-fs"_qs,      u"APFS"_qs,
                                u"-size"_qs,  sizeArgument(maxSizeMB), u"-volname"_qs, volumeName,
                                image};
    const ProcessResult result =
        co_await run(ToolPaths::hdiutil(), arguments, passwordBytes(password), wholeVaultTimeout);
    if (result.status != 0)
        throw DiskImageError::commandFailed(u"Could not create vault: "_qs + stderrText(result.stderrData));
}

QCoro::Task<Attached> attach(const QString &image, const QString &password, bool nobrowse)
{
    QStringList arguments{u"attach"_qs, u"-plist"_qs, u"-stdinpass"_qs};
    if (nobrowse)
        arguments << u"-nobrowse"_qs;
    arguments << image;
    // An attach after a crash repairs the whole file system first.
    const ProcessResult result =
        co_await run(ToolPaths::hdiutil(), arguments, passwordBytes(password), wholeVaultTimeout);
    if (result.status != 0)
        failWithPasswordCheck(result, u"Could not unlock vault: "_qs);
    const std::optional<QString> mountPoint = mountPointFromAttachOutput(result.stdoutData);
    if (!mountPoint)
        throw DiskImageError::commandFailed(u"Vault unlocked but no mount point was reported."_qs);
    co_return Attached{*mountPoint, repairReportFromAttachOutput(result.stdoutData)};
}

QCoro::Task<void> detach(const QString &mountPoint, bool force)
{
    QStringList arguments{u"detach"_qs, mountPoint};
    if (force)
        arguments << u"-force"_qs;
    const ProcessResult result = co_await run(ToolPaths::hdiutil(), arguments);
    if (result.status != 0)
        throw DiskImageError::commandFailed(u"Could not lock vault — a file inside may still be open: "_qs +
                                            stderrText(result.stderrData));
}

QCoro::Task<void> renameVolume(const QString &mountPoint, const QString &newName)
{
    const QStringList arguments{u"rename"_qs, mountPoint, newName};
    const ProcessResult result = co_await run(ToolPaths::diskutil(), arguments);
    if (result.status != 0)
        throw DiskImageError::commandFailed(u"Could not rename volume: "_qs + stderrText(result.stderrData));
}

QCoro::Task<std::optional<QMap<QString, QString>>> attachedImages()
{
    try {
        const QStringList arguments{u"info"_qs, u"-plist"_qs};
        const ProcessResult result =
            co_await run(ToolPaths::hdiutil(), arguments, std::nullopt, lookupTimeout);
        if (result.status == 0)
            co_return imagesFromInfoOutput(result.stdoutData);
    } catch (const LaunchError &) {
    } catch (const DiskImageError &) {
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> mountPoint(const QString &image)
{
    const QString target = resolvedPath(image);
    const std::optional<QMap<QString, QString>> answer = co_await attachedImages();
    const QMap<QString, QString> images = answer.value_or(QMap<QString, QString>());
    for (auto it = images.cbegin(); it != images.cend(); ++it) {
        if (resolvedPath(it.key()) == target)
            co_return it.value();
    }
    co_return std::nullopt;
}

QCoro::Task<void> changePassword(const QString &image, const QString &oldPassword, const QString &newPassword)
{
    const QByteArray input = passwordBytes(oldPassword) + '\0' + passwordBytes(newPassword) + '\0';
    const QStringList arguments{u"chpass"_qs, u"-oldstdinpass"_qs, u"-newstdinpass"_qs, image};
    const ProcessResult result = co_await run(ToolPaths::hdiutil(), arguments, input);
    if (result.status != 0)
        failWithPasswordCheck(result, u"Could not change password: "_qs);
}

QCoro::Task<qint64> lowestLimitMB(const QString &image, const QString &password)
{
    const QStringList arguments{u"resize"_qs, u"-limits"_qs, u"-stdinpass"_qs, image};
    const ProcessResult result = co_await run(ToolPaths::hdiutil(), arguments, passwordBytes(password));
    if (result.status != 0)
        failWithPasswordCheck(result, u"Could not work out the lowest limit: "_qs);
    // "LOWEST CURRENT HIGHEST", in bytes.
    const qint64 lowest = QString::fromUtf8(result.stdoutData).section(QLatin1Char(' '), 0, 0).toLongLong();
    if (lowest <= 0)
        throw DiskImageError::commandFailed(u"Could not work out the lowest limit."_qs);
    constexpr qint64 megabyte = 1024 * 1024;
    co_return (lowest + megabyte - 1) / megabyte;
}

QCoro::Task<void> resize(const QString &image, qint64 newSizeMB, const QString &password,
                         const ProgressObserver &onProgress)
{
    const QStringList arguments{u"resize"_qs, u"-stdinpass"_qs, u"-size"_qs, sizeArgument(newSizeMB), image};
    const ProcessResult result =
        co_await run(ToolPaths::hdiutil(), arguments, passwordBytes(password), wholeVaultTimeout, onProgress);
    if (result.status == 0)
        co_return;
    const QString text = stderrText(result.stderrData);
    if (isAuthenticationFailure(text))
        throw DiskImageError::badPassword();
    if (text.contains(QLatin1String("invalid argument"), Qt::CaseInsensitive))
        throw DiskImageError::commandFailed(QStringLiteral(
            "The new limit is smaller than the space the files inside currently use. Delete files first "
            "(and reclaim free space), or choose a larger limit."));
    throw DiskImageError::commandFailed(u"Could not resize vault: "_qs + text);
}

QCoro::Task<qint64> sizeOnDisk(const QString &image)
{
    try {
        const QStringList arguments{u"-sk"_qs, image};
        const ProcessResult result = co_await run(ToolPaths::du(), arguments);
        if (result.status == 0)
            co_return sizeFromDuOutput(result.stdoutData);
    } catch (const LaunchError &) {
    } catch (const DiskImageError &) {
    }
    co_return 0;
}

QCoro::Task<QHash<QString, qint64>> sizesOnDisk(QStringList images)
{
    constexpr qsizetype perRun = 200;
    QHash<QString, qint64> sizes;
    for (qsizetype first = 0; first < images.size(); first += perRun) {
        const QStringList arguments = QStringList{u"-sk"_qs, u"--"_qs} + images.mid(first, perRun);
        std::optional<ProcessResult> result;
        try {
            result = co_await run(ToolPaths::du(), arguments);
        } catch (const LaunchError &) {
        } catch (const DiskImageError &) {
        }
        if (!result)
            co_return sizes;
        // One "kilobytes<TAB>path" line per image that could be measured.
        for (const QByteArray &line : result->stdoutData.split('\n')) {
            const qsizetype tab = line.indexOf('\t');
            if (tab > 0)
                sizes.insert(QString::fromUtf8(line.mid(tab + 1)), sizeFromDuOutput(line));
        }
    }
    co_return sizes;
}

QCoro::Task<void> compact(const QString &image, const QString &password, const ProgressObserver &onProgress,
                          StopSwitch *stop)
{
    const QStringList arguments{u"compact"_qs, u"-stdinpass"_qs, image};
    const ProcessResult result =
        co_await run(ToolPaths::hdiutil(), arguments, passwordBytes(password), wholeVaultTimeout, onProgress, stop);
    if (result.status != 0)
        failWithPasswordCheck(result, u"Could not compact vault: "_qs);
}

QCoro::Task<void> verifyPassword(const QString &image, const QString &password)
{
    const QStringList arguments{u"imageinfo"_qs, u"-stdinpass"_qs, image};
    const ProcessResult result = co_await run(ToolPaths::hdiutil(), arguments, passwordBytes(password));
    if (result.status != 0)
        failWithPasswordCheck(result, u"Could not verify password: "_qs);
}

QCoro::Task<QString> verify(const QString &image, const QString &password, const ProgressObserver &onProgress,
                            StopSwitch *stop)
{
    const Attached attached = co_await attach(image, password, true);
    const QString attachedAt = attached.mountPoint;
    std::optional<ProcessResult> check;
    QString checkFailure = u"Verification could not be run."_qs;
    bool stopped = false;
    try {
        const QStringList arguments{u"verifyVolume"_qs, attachedAt};
        check = co_await run(ToolPaths::diskutil(), arguments, std::nullopt, wholeVaultTimeout, onProgress, stop);
    } catch (const LaunchError &) {
    } catch (const DiskImageError &error) {
        stopped = error.kind() == DiskImageError::Kind::Stopped;
        checkFailure = error.errorDescription();
    } catch (const std::exception &error) {
        checkFailure = describeError(error);
    }
    // Always detach what was attached, whatever the check found and however it failed.
    QString attachedNow = attachedAt;
    try {
        const std::optional<QString> found = co_await mountPoint(image);
        attachedNow = found.value_or(attachedAt);
    } catch (const std::exception &) {
    }
    try {
        co_await detach(attachedNow, false);
    } catch (const std::exception &) {
    }
    if (stopped)
        throw DiskImageError::stopped();
    if (!check)
        throw DiskImageError::commandFailed(checkFailure);
    const QString output = utf8OrEmpty(check->stdoutData) + utf8OrEmpty(check->stderrData);
    if (check->status == 0 && output.contains(QLatin1String("exit code is 0")))
        co_return u"healthy"_qs;
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    throw DiskImageError::commandFailed(
        u"Verification reported problems:\n"_qs +
        lines.mid(std::max<qsizetype>(0, lines.size() - 3)).join(QLatin1Char('\n')));
}

} // namespace DiskImage

#include "UpdateChecker.h"

#include "UserDefaults.h"
#include "platform/SettingsKeys.h"

#include <QCoro/QCoroNetworkReply>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>

#include <stdexcept>

namespace UpdateChecker {

namespace {

std::chrono::milliseconds requestTimeout{15000};
// A version document is a few hundred bytes; anything this large is not one.
constexpr qint64 maxAnswerBytes = 64 * 1024;
constexpr double checkGateSeconds = 72000;  // 20 hours
constexpr int checkIntervalMs = 21600 * 1000; // 6 hours

AlertPresenter &presenter()
{
    static AlertPresenter instance;
    return instance;
}

UrlOpener &opener()
{
    static UrlOpener instance = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    return instance;
}

QList<qint64> versionNumbers(const QString &version)
{
    QList<qint64> numbers;
    for (const QString &piece : version.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const qint64 number = piece.toLongLong(&ok);
        numbers << (ok ? number : 0);
    }
    return numbers;
}

// Digits and dots only: the version is shown in the alert and compared, nothing else.
bool isPlainVersion(const QString &version)
{
    static const QRegularExpression plain(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return version.size() <= 32 && plain.match(version).hasMatch();
}

// Opened in the browser on "View Download": a web page, from the update server or over https.
bool isAcceptedDownload(const QUrl &download)
{
    if (!download.isValid() || download.host().isEmpty())
        return false;
    const QUrl server = serverAddress();
    const bool sameOrigin = download.scheme() == server.scheme() && download.host() == server.host() &&
                            download.port() == server.port();
    return download.scheme() == QLatin1String("https") || sameOrigin;
}

// A failure to reach the server, as a person would put it.
QString unreachable(QNetworkReply::NetworkError error)
{
    if (error == QNetworkReply::SslHandshakeFailedError)
        return QStringLiteral("The update server’s identity could not be verified.");
    return QStringLiteral("The update server could not be reached. Check the internet connection and try again later.");
}

} // namespace

QUrl serverAddress()
{
    const QString override = qEnvironmentVariable("HOLLOWKEEP_UPDATE_SERVER");
    return QUrl(override.isEmpty() ? QStringLiteral(HOLLOWKEEP_UPDATE_SERVER) : override);
}

QString currentVersion()
{
    const QString version = QStringLiteral(HOLLOWKEEP_VERSION);
    return version.isEmpty() ? QStringLiteral("0") : version;
}

bool isNewer(const QString &version, const QString &than)
{
    const QList<qint64> a = versionNumbers(version);
    const QList<qint64> b = versionNumbers(than);
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        const qint64 left = a.value(i);
        const qint64 right = b.value(i);
        if (left != right)
            return left > right;
    }
    return false;
}

Release parseRelease(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw CheckError(error.errorString());
    const QJsonObject object = document.object();
    if (!document.isObject() || !object.value(QStringLiteral("version")).isString())
        throw CheckError(QStringLiteral("Unexpected response from the update server."));
    Release release;
    release.version = object.value(QStringLiteral("version")).toString();
    if (release.version.startsWith(QLatin1Char('v')))
        release.version.remove(0, 1);
    if (!isPlainVersion(release.version))
        throw CheckError(QStringLiteral("Unexpected response from the update server."));
    release.notes = object.value(QStringLiteral("notes")).toString();
    const QUrl download(object.value(QStringLiteral("download")).toString(), QUrl::StrictMode);
    release.download = isAcceptedDownload(download) ? download.toString() : serverAddress().toString();
    return release;
}

QCoro::Task<Release> fetchLatest()
{
    static QNetworkAccessManager *network = new QNetworkAccessManager;
    QUrl address = serverAddress();
    address.setPath(QStringLiteral("/api/version.json"));
    QNetworkRequest request(address);
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(int(requestTimeout.count()));
    QNetworkReply *reply = network->get(request);
    bool tooLarge = false;
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, &tooLarge](qint64 received, qint64 total) {
        if (received > maxAnswerBytes || total > maxAnswerBytes) {
            tooLarge = true;
            reply->abort();
        }
    });
    co_await qCoro(reply).waitForFinished();
    reply->deleteLater();
    if (tooLarge)
        throw CheckError(QStringLiteral("The update server’s answer is larger than 64 KB."));
    // The status code is not looked at: whatever came back is parsed.
    if (reply->error() != QNetworkReply::NoError && reply->error() < QNetworkReply::ContentAccessDenied)
        throw CheckError(unreachable(reply->error()));
    co_return parseRelease(reply->read(maxAnswerBytes));
}

QCoro::Task<void> autoCheck(UserDefaults &defaults)
{
    if (!defaults.boolValue(SettingsKeys::updateCheckEnabled))
        co_return;
    if (const std::optional<Timestamp> last = defaults.dateValue(SettingsKeys::lastUpdateCheck);
        last && Timestamp::now().secondsSinceReferenceDate - last->secondsSinceReferenceDate < checkGateSeconds)
        co_return;
    Release release;
    try {
        release = co_await fetchLatest();
    } catch (...) {
        co_return; // never shown; the next tick tries again
    }
    defaults.setValue(SettingsKeys::lastUpdateCheck, QVariant::fromValue(Timestamp::now()));
    if (!isNewer(release.version, currentVersion()) ||
        defaults.stringValue(SettingsKeys::skippedVersion) == release.version)
        co_return;
    co_await presentUpdateAlert(defaults, release, Asker::AutomaticCheck);
}

QCoro::Task<QString> manualCheck(UserDefaults &defaults)
{
    Release release;
    try {
        release = co_await fetchLatest();
    } catch (const CheckError &error) {
        co_return QStringLiteral("Could not check: ") + error.reason();
    } catch (const std::exception &error) {
        co_return QStringLiteral("Could not check: ") + QString::fromUtf8(error.what());
    }
    defaults.setValue(SettingsKeys::lastUpdateCheck, QVariant::fromValue(Timestamp::now()));
    if (!isNewer(release.version, currentVersion()))
        co_return QStringLiteral("You're up to date — %1 is the latest version.").arg(currentVersion());
    co_await presentUpdateAlert(defaults, release, Asker::Person);
    co_return QStringLiteral("Version %1 is available.").arg(release.version);
}

QCoro::Task<void> presentUpdateAlert(UserDefaults &defaults, Release release, Asker asker)
{
    if (!presenter())
        co_return;
    const AlertChoice choice = co_await presenter()(
        QStringLiteral("Hollowkeep %1 is available").arg(release.version),
        QStringLiteral("You have %1. Install it from the download page or with your package manager.")
            .arg(currentVersion()),
        asker);
    if (choice == AlertChoice::ViewDownload)
        opener()(QUrl(release.download));
    else if (choice == AlertChoice::SkipThisVersion)
        defaults.setValue(SettingsKeys::skippedVersion, release.version);
}

void startAutomaticChecks(UserDefaults &defaults)
{
    static QTimer *timer = nullptr;
    if (timer)
        return;
    timer = new QTimer;
    timer->setInterval(checkIntervalMs);
    QObject::connect(timer, &QTimer::timeout, [&defaults] { autoCheck(defaults); });
    timer->start();
    autoCheck(defaults);
}

void setAlertPresenter(AlertPresenter presenter)
{
    UpdateChecker::presenter() = std::move(presenter);
}

void setRequestTimeout(std::chrono::milliseconds timeout)
{
    requestTimeout = timeout;
}

void setUrlOpener(UrlOpener opener)
{
    UpdateChecker::opener() = opener ? std::move(opener) : [](const QUrl &url) { QDesktopServices::openUrl(url); };
}

} // namespace UpdateChecker

#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <stdexcept>

class UserDefaults;

// Looks for a newer release: a small JSON document at /api/version.json of the update server,
// automatically about once every 20 hours while the user allows it, and on demand from the
// settings. A newer version is offered in an alert; nothing is downloaded here, the download page
// opens in the browser.
namespace UpdateChecker {

struct Release
{
    QString version; // without a leading "v"
    QString notes;
    QString download;
};

enum class AlertChoice { ViewDownload, SkipThisVersion, Later };
// Who the alert answers: a person who asked in the settings, or the automatic check.
enum class Asker { Person, AutomaticCheck };

// Why a check found nothing, in a sentence a person understands.
class CheckError : public std::runtime_error
{
public:
    explicit CheckError(const QString &reason) : std::runtime_error(reason.toStdString()), m_reason(reason) {}
    [[nodiscard]] const QString &reason() const { return m_reason; }

private:
    QString m_reason;
};

// The server: the build's address, or HOLLOWKEEP_UPDATE_SERVER (tests).
[[nodiscard]] QUrl serverAddress();
[[nodiscard]] QString currentVersion();
[[nodiscard]] bool isNewer(const QString &version, const QString &than);
// Throws CheckError: the parser's error or "Unexpected response from the update server.".
[[nodiscard]] Release parseRelease(const QByteArray &body);

QCoro::Task<Release> fetchLatest();
QCoro::Task<void> autoCheck(UserDefaults &defaults);
// The text the settings show.
QCoro::Task<QString> manualCheck(UserDefaults &defaults);
// Shows the alert and does what the choice asks.
QCoro::Task<void> presentUpdateAlert(UserDefaults &defaults, Release release, Asker asker);
// Once at launch: a check now, then one every six hours.
void startAutomaticChecks(UserDefaults &defaults);

// The alert and the browser are the desktop's: the program installs them, tests answer them.
using AlertPresenter = std::function<QCoro::Task<AlertChoice>(QString title, QString text, Asker asker)>;
void setAlertPresenter(AlertPresenter presenter);
using UrlOpener = std::function<void(const QUrl &)>;
void setUrlOpener(UrlOpener opener);
// How long a silent server is waited for: 15 seconds, shorter in tests.
void setRequestTimeout(std::chrono::milliseconds timeout);

} // namespace UpdateChecker

// Update checks against a real HTTP server on 127.0.0.1 started by the test.

#include "TestEnvironment.h"
#include "VersionServer.h"
#include "platform/SettingsKeys.h"
#include "platform/UpdateChecker.h"
#include "platform/UserDefaults.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>

using namespace UpdateChecker;

class TestUpdateChecker : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    VersionServer m_server;
    std::unique_ptr<UserDefaults> m_defaults;
    QStringList m_alerts;
    QList<Asker> m_askers;
    AlertChoice m_choice = AlertChoice::Later;
    QList<QUrl> m_opened;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        qputenv("HOLLOWKEEP_UPDATE_SERVER", m_server.address().toUtf8());
        setAlertPresenter([this](QString title, QString, Asker asker) -> QCoro::Task<AlertChoice> {
            m_alerts << title;
            m_askers << asker;
            co_return m_choice;
        });
        setUrlOpener([this](const QUrl &url) { m_opened << url; });
    }
    void init()
    {
        m_defaults = std::make_unique<UserDefaults>(m_env.config() + u"/prefs.json"_s);
        SettingsKeys::registerDefaults(*m_defaults);
        m_server.requests.clear();
        m_server.silent = false;
        m_server.status = "200 OK";
        m_alerts.clear();
        m_askers.clear();
        m_opened.clear();
        m_choice = AlertChoice::Later;
    }
    void cleanup()
    {
        m_defaults.reset();
        QFile::remove(m_env.config() + u"/prefs.json"_s);
    }

    void versionsCompare_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("than");
        QTest::addColumn<bool>("newer");
        QTest::newRow("2.0 over 1.9.3") << "2.0" << "1.9.3" << true;
        QTest::newRow("1.2 vs 1.2.0") << "1.2" << "1.2.0" << false;
        QTest::newRow("1.2.0 vs 1.2") << "1.2.0" << "1.2" << false;
        QTest::newRow("1.10 over 1.9") << "1.10" << "1.9" << true;
        QTest::newRow("2.x is 2.0") << "2.x" << "2.0" << false;
        QTest::newRow("2.1 over 2.0-beta") << "2.1" << "2.0-beta" << true;
        QTest::newRow("any over 0") << "0.0.1" << "0" << true;
    }
    void versionsCompare()
    {
        QFETCH(QString, version);
        QFETCH(QString, than);
        QFETCH(bool, newer);
        QCOMPARE(isNewer(version, than), newer);
    }

    // What the server says becomes a release; a malformed answer an error with its reason.
    void documents()
    {
        m_server.body = R"({"version": "v2.0", "notes": "Faster.", "extra": 1})";
        const Release release = QCoro::waitFor(fetchLatest());
        QCOMPARE(release.version, u"2.0"_s);
        QCOMPARE(release.download, m_server.address());
        QVERIFY(m_server.requests.first().contains("GET /api/version.json "));
        QVERIFY(m_server.requests.first().toLower().contains("accept: application/json"));

        m_server.status = "404 Not Found";
        m_server.body = "<html><body>Not found</body></html>";
        QString message = QCoro::waitFor(manualCheck(*m_defaults));
        QVERIFY2(message.startsWith(u"Could not check: "_s) && !message.contains(u"Unexpected"_s), qPrintable(message));
        QVERIFY(!m_defaults->dateValue(SettingsKeys::lastUpdateCheck));

        // A server that cannot be reached is said in words.
        qputenv("HOLLOWKEEP_UPDATE_SERVER", "http://127.0.0.1:9");
        message = QCoro::waitFor(manualCheck(*m_defaults));
        qputenv("HOLLOWKEEP_UPDATE_SERVER", m_server.address().toUtf8());
        QCOMPARE(message, u"Could not check: The update server could not be reached. Check the internet connection "
                          "and try again later."_s);

        m_server.status = "200 OK";
        m_server.body = R"({"version": 2})";
        QCOMPARE(QCoro::waitFor(manualCheck(*m_defaults)),
                 u"Could not check: Unexpected response from the update server."_s);
    }

    // Only a web page is opened for "View Download", only a version of digits and dots is offered,
    // and an answer larger than 64 KB is refused.
    void answersAreTrustedNoFurtherThanNeeded_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("download");
        const auto answer = [](const QString &version, const QString &download, const QString &notes = {}) {
            return QJsonDocument(QJsonObject{{u"version"_s, version}, {u"download"_s, download}, {u"notes"_s, notes}})
                .toJson();
        };
        const QString server = m_server.address();
        QTest::newRow("https") << answer(u"2.0"_s, u"https://example.org/get"_s) << u"https://example.org/get"_s;
        QTest::newRow("the server's own page") << answer(u"2.0"_s, server + u"/get"_s) << server + u"/get"_s;
        QTest::newRow("plain http elsewhere") << answer(u"2.0"_s, u"http://example.org/get"_s) << server;
        QTest::newRow("a local file") << answer(u"2.0"_s, u"file:///etc/passwd"_s) << server;
        QTest::newRow("a share") << answer(u"2.0"_s, u"smb://host/share/setup"_s) << server;
        QTest::newRow("markup in the version") << answer(u"2.0<img src=x>"_s, server) << QString();
        QTest::newRow("words in the version") << answer(u"2.0-beta"_s, server) << QString();
        QTest::newRow("too large") << answer(u"2.0"_s, server, QString(70000, u'n')) << QString();
    }
    void answersAreTrustedNoFurtherThanNeeded()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, download);
        m_server.body = body;
        m_choice = AlertChoice::ViewDownload;
        const QString message = QCoro::waitFor(manualCheck(*m_defaults));
        if (download.isEmpty()) {
            QVERIFY2(message.startsWith(u"Could not check: "_s), qPrintable(message));
            QVERIFY(m_opened.isEmpty() && m_alerts.isEmpty());
            return;
        }
        QCOMPARE(message, u"Version 2.0 is available."_s);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(download)});
    }

    // The automatic check waits 20 hours after a success; a newer version is offered unless it
    // was skipped, which the manual check ignores.
    void automaticAndManualChecks()
    {
        m_server.body = R"({"version": "2.0", "download": "https://example.org/get"})";
        m_defaults->setValue(SettingsKeys::lastUpdateCheck,
                             QVariant::fromValue(Timestamp::now().addSeconds(-19 * 3600)));
        QCoro::waitFor(autoCheck(*m_defaults));
        QVERIFY(m_server.requests.isEmpty());

        m_defaults->setValue(SettingsKeys::lastUpdateCheck,
                             QVariant::fromValue(Timestamp::now().addSeconds(-21 * 3600)));
        m_choice = AlertChoice::SkipThisVersion;
        QCoro::waitFor(autoCheck(*m_defaults));
        QCOMPARE(m_server.requests.size(), 1);
        QCOMPARE(m_alerts, QStringList{u"Hollowkeep 2.0 is available"_s});
        QCOMPARE(m_defaults->stringValue(SettingsKeys::skippedVersion), u"2.0"_s);

        m_defaults->removeValue(SettingsKeys::lastUpdateCheck);
        QCoro::waitFor(autoCheck(*m_defaults));
        QCOMPARE(m_alerts.size(), 1);
        m_choice = AlertChoice::ViewDownload;
        QCOMPARE(QCoro::waitFor(manualCheck(*m_defaults)), u"Version 2.0 is available."_s);
        QCOMPARE(m_alerts.size(), 2);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(u"https://example.org/get"_s)});
        // The automatic check's alert stands for the whole program, the asked one for its window.
        QCOMPARE(m_askers, (QList<Asker>{Asker::AutomaticCheck, Asker::Person}));

        m_defaults->setValue(SettingsKeys::updateCheckEnabled, false);
        m_defaults->removeValue(SettingsKeys::lastUpdateCheck);
        const qsizetype asked = m_server.requests.size();
        QCoro::waitFor(autoCheck(*m_defaults));
        QCOMPARE(m_server.requests.size(), asked);

        m_server.body = "{\"version\": \"v" + currentVersion().toUtf8() + "\"}";
        QCOMPARE(QCoro::waitFor(manualCheck(*m_defaults)),
                 u"You're up to date — %1 is the latest version."_s.arg(currentVersion()));
    }

    // A server that never answers fails after the time-out; the event loop runs all along.
    void silentServerTimesOut()
    {
        m_server.silent = true;
        setRequestTimeout(std::chrono::milliseconds(1500));
        auto restore = qScopeGuard([] { setRequestTimeout(std::chrono::milliseconds(15000)); });
        int ticks = 0;
        QTimer ticking;
        connect(&ticking, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticking.start(100);
        QElapsedTimer clock;
        clock.start();
        const QString message = QCoro::waitFor(manualCheck(*m_defaults));
        QVERIFY2(message.startsWith(u"Could not check: "_s), qPrintable(message));
        QVERIFY(clock.elapsed() >= 1400);
        QVERIFY(ticks > 5);
        QVERIFY(m_alerts.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"

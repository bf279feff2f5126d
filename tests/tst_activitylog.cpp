#include "TestEnvironment.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "store/ActivityEvent.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

class TestActivityLog : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    [[nodiscard]] QString prefsPath() const { return m_env.config() + u"/prefs.json"_s; }

private Q_SLOTS:
    void cleanup() { QDir(m_env.config()).removeRecursively(); }

    // Newest first, at most fifty, stored as compact JSON data (ids in upper case, dates in
    // seconds): what a restart reads.
    void newestFirstCappedAndStored()
    {
        UserDefaults defaults(prefsPath());
        QList<ActivityEvent> log = ActivityLog::load(defaults);
        QVERIFY(log.isEmpty());
        for (int i = 1; i <= 51; ++i)
            ActivityLog::record(log, u"Vault %1 unlocked · password"_s.arg(i), defaults);
        QCOMPARE(log.size(), 50);
        QCOMPARE(log.first().text, u"Vault 51 unlocked · password"_s);
        QCOMPARE(log.last().text, u"Vault 2 unlocked · password"_s);
        QVERIFY(log.first().date >= log.last().date);
        QVERIFY(log[0].id != log[1].id);
        const QByteArray data = *defaults.dataValue(SettingsKeys::activityLog);
        QVERIFY(!data.contains('\n'));
        const QJsonObject event = QJsonDocument::fromJson(data).array().first().toObject();
        QCOMPARE(event.value(u"text"_s).toString(), log.first().text);
        QCOMPARE(event.value(u"id"_s).toString(), log.first().idText());
        QCOMPARE(event.value(u"id"_s).toString(), event.value(u"id"_s).toString().toUpper());
        QVERIFY(qAbs(event.value(u"date"_s).toDouble() - Timestamp::now().secondsSinceReferenceDate) < 60);
        UserDefaults restarted(prefsPath());
        QCOMPARE(ActivityLog::load(restarted), log);
    }

    void longerStoredLogLoadsUnchangedAndIsCutAtTheNextRecording()
    {
        QJsonArray array;
        for (int i = 0; i < 60; ++i)
            array.append(QJsonObject{{u"id"_s, QUuid::createUuid().toString(QUuid::WithoutBraces)},
                                     {u"date"_s, 1000.0 - i},
                                     {u"text"_s, u"line %1"_s.arg(i)}});
        UserDefaults defaults(prefsPath());
        defaults.setValue(SettingsKeys::activityLog, QJsonDocument(array).toJson());
        QList<ActivityEvent> log = ActivityLog::load(defaults);
        QCOMPARE(log.size(), 60);
        QCOMPARE(log[59].text, u"line 59"_s);
        ActivityLog::record(log, u"newest"_s, defaults);
        QCOMPARE(log.size(), 50);
        QCOMPARE(log[1].text, u"line 0"_s);
        QCOMPARE(ActivityLog::load(defaults).size(), 50);
    }

    void corruptLogReadsEmptyAndIsOverwritten_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("not json") << QVariant(QByteArray("[{\"id\":"));
        QTest::newRow("object, not array") << QVariant(QByteArray("{}"));
        QTest::newRow("event without text")
            << QVariant(QByteArray(R"([{"id": "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "date": 3}])"));
        QTest::newRow("date as text") << QVariant(
            QByteArray(R"([{"id": "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "date": "3", "text": "x"}])"));
        QTest::newRow("a string, not data") << QVariant(u"[]"_s);
    }

    void corruptLogReadsEmptyAndIsOverwritten()
    {
        QFETCH(QVariant, stored);
        UserDefaults defaults(prefsPath());
        defaults.setValue(SettingsKeys::activityLog, stored);
        QList<ActivityEvent> log = ActivityLog::load(defaults);
        QVERIFY(log.isEmpty());
        ActivityLog::record(log, u"Photos located"_s, defaults);
        QCOMPARE(ActivityLog::load(defaults), log);
    }
};

QTEST_GUILESS_MAIN(TestActivityLog)
#include "tst_activitylog.moc"

#include "TestEnvironment.h"
#include "app/LegacyMigration.h"
#include "platform/SettingsKeys.h"
#include "platform/AppPaths.h"
#include "platform/UserDefaults.h"

#include <QTest>

class TestLegacyMigration : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

    [[nodiscard]] static QString ownFile()
    {
        return AppPaths::preferencesFile(QString::fromLatin1(AppPaths::applicationId));
    }
    [[nodiscard]] static QString legacyFile()
    {
        return AppPaths::preferencesFile(QString::fromLatin1(AppPaths::legacyApplicationId));
    }

    // What a start of the program does with the preferences, in its order.
    static void start(UserDefaults &defaults)
    {
        LegacyMigration::migratePreferences(defaults);
        SettingsKeys::registerDefaults(defaults);
    }

private Q_SLOTS:
    void cleanup() { QDir(m_env.config()).removeRecursively(); }

    void firstStartWithoutEarlierReleaseOnlySetsTheFlag()
    {
        QCOMPARE(ownFile(), m_env.config() + u"/org.hollowkeep.Hollowkeep.json"_s);
        QCOMPARE(legacyFile(), m_env.config() + u"/org.ambrybox.Ambrybox.json"_s);
        UserDefaults defaults(ownFile());
        start(defaults);
        QCOMPARE(defaults.storedValues(), (QVariantMap{{SettingsKeys::migratedFromAmbrybox, true}}));
        QCOMPARE(defaults.integerValue(SettingsKeys::autoLockMinutes), 15);
    }

    void earlierValuesAreCopiedOnceAndWinOverDefaults()
    {
        const QByteArray legacy =
            R"({"autoLockMinutes": 5, "appTheme": "nightWatch", "custom": {"data": "AAE="}})";
        QVERIFY(writeAll(legacyFile(), legacy));
        {
            UserDefaults defaults(ownFile());
            start(defaults);
            QCOMPARE(defaults.integerValue(SettingsKeys::autoLockMinutes), 5);
            QCOMPARE(defaults.stringValue(SettingsKeys::appTheme), u"nightWatch"_s);
            QCOMPARE(defaults.dataValue(u"custom"_s), QByteArray("\x00\x01", 2));
            QCOMPARE(defaults.boolValue(SettingsKeys::migratedFromAmbrybox), true);
            defaults.setValue(SettingsKeys::autoLockMinutes, qint64(30));
        }
        // The second start copies nothing: the user's later choice stays.
        UserDefaults restarted(ownFile());
        start(restarted);
        QCOMPARE(restarted.integerValue(SettingsKeys::autoLockMinutes), 30);
        // The earlier release's file is only read.
        QCOMPARE(readAll(legacyFile()), legacy);
    }

    void aFlagOfAnyTypeCountsAsDone()
    {
        QVERIFY(writeAll(legacyFile(), R"({"autoLockMinutes": 5})"));
        QVERIFY(writeAll(ownFile(), R"({"migratedFromAmbrybox": "no"})"));
        UserDefaults defaults(ownFile());
        start(defaults);
        QCOMPARE(defaults.integerValue(SettingsKeys::autoLockMinutes), 15);
        QCOMPARE(defaults.stringValue(SettingsKeys::migratedFromAmbrybox), u"no"_s);
    }

    void migrationOverwritesWhatIsAlreadyStored()
    {
        QVERIFY(writeAll(legacyFile(), R"({"lockOnQuit": false})"));
        QVERIFY(writeAll(ownFile(), R"({"lockOnQuit": true, "menuBarIcon": false})"));
        UserDefaults defaults(ownFile());
        start(defaults);
        QCOMPARE(defaults.boolValue(SettingsKeys::lockOnQuit), false);
        QCOMPARE(defaults.boolValue(SettingsKeys::menuBarIcon), false);
    }
};

QTEST_GUILESS_MAIN(TestLegacyMigration)
#include "tst_legacymigration.moc"

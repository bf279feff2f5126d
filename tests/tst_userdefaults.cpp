#include "TestEnvironment.h"
#include "app/SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QSignalSpy>
#include <QTest>

class TestUserDefaults : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    [[nodiscard]] QString prefsPath() const { return m_env.config() + QStringLiteral("/prefs.json"); }

private Q_SLOTS:
    void cleanup() { QDir(m_env.config()).removeRecursively(); }

    void freshAccountReadsRegisteredDefaults()
    {
        UserDefaults defaults(prefsPath());
        SettingsKeys::registerDefaults(defaults);
        QCOMPARE(defaults.boolValue(SettingsKeys::autoLockEnabled), true);
        QCOMPARE(defaults.integerValue(SettingsKeys::autoLockMinutes), 15);
        QCOMPARE(defaults.boolValue(SettingsKeys::hideDockIcon), false);
        QCOMPARE(defaults.integerValue(SettingsKeys::panicKeyCode), 37);
        QCOMPARE(defaults.integerValue(SettingsKeys::panicModifiers), 6400);
        QCOMPARE(defaults.stringValue(SettingsKeys::panicKeyLabel), QStringLiteral("L"));
        for (const QString &key :
             {SettingsKeys::lockOnQuit, SettingsKeys::menuBarIcon, SettingsKeys::lockOnScreenLock,
              SettingsKeys::lockOnSleep, SettingsKeys::panicEnabled, SettingsKeys::menuBarPanel,
              SettingsKeys::updateCheckEnabled})
            QVERIFY2(defaults.boolValue(key), qPrintable(key));
        // Unregistered keys have no fallback, and registering writes nothing.
        QVERIFY(!defaults.stringValue(SettingsKeys::appTheme));
        QVERIFY(!defaults.dataValue(SettingsKeys::activityLog));
        QVERIFY(!defaults.hasStoredValue(SettingsKeys::autoLockMinutes));
        QVERIFY(!QFile::exists(prefsPath()));
    }

    void storedValuesWinOverRegisteredDefaults()
    {
        {
            UserDefaults defaults(prefsPath());
            defaults.setValue(SettingsKeys::autoLockMinutes, qint64(60));
            defaults.setValue(SettingsKeys::lockOnQuit, false);
        }
        const QByteArray before = readAll(prefsPath());
        UserDefaults restarted(prefsPath());
        SettingsKeys::registerDefaults(restarted);
        QCOMPARE(restarted.integerValue(SettingsKeys::autoLockMinutes), 60);
        QCOMPARE(restarted.boolValue(SettingsKeys::lockOnQuit), false);
        QCOMPARE(readAll(prefsPath()), before);
        // Removing the stored value brings the fallback back.
        restarted.removeValue(SettingsKeys::autoLockMinutes);
        QCOMPARE(restarted.integerValue(SettingsKeys::autoLockMinutes), 15);
    }

    void everyValueTypeSurvivesTheFile()
    {
        const QByteArray bytes("\x00\x01\xff binary", 10);
        const Timestamp when{786000000.125};
        const QVariantMap nested{
            {QStringLiteral("list"), QVariantList{qint64(1), QStringLiteral("two"), true}}};
        {
            UserDefaults defaults(prefsPath());
            defaults.setValues({{QStringLiteral("flag"), true},
                                {QStringLiteral("count"), qint64(42)},
                                {QStringLiteral("ratio"), 0.25},
                                {QStringLiteral("text"), QStringLiteral("“quoted” …")},
                                {QStringLiteral("blob"), bytes},
                                {QStringLiteral("when"), QVariant::fromValue(when)},
                                {QStringLiteral("nested"), nested}});
        }
        UserDefaults reread(prefsPath());
        QCOMPARE(reread.boolValue(QStringLiteral("flag")), true);
        QCOMPARE(reread.integerValue(QStringLiteral("count")), 42);
        QCOMPARE(reread.object(QStringLiteral("ratio")).toDouble(), 0.25);
        QCOMPARE(reread.stringValue(QStringLiteral("text")), QStringLiteral("“quoted” …"));
        QCOMPARE(reread.dataValue(QStringLiteral("blob")), bytes);
        QCOMPARE(reread.dateValue(QStringLiteral("when")), when);
        QCOMPARE(reread.object(QStringLiteral("nested")).toMap(), nested);
        // The write is atomic: no temporary file is left beside the preferences.
        QCOMPARE(QDir(m_env.config()).entryList(QDir::Files), QStringList{QStringLiteral("prefs.json")});
    }

    void unreadableFileIsSetAsideNotLost()
    {
        const QByteArray garbage = "{ this is not json";
        QVERIFY(writeAll(prefsPath(), garbage));
        UserDefaults defaults(prefsPath());
        SettingsKeys::registerDefaults(defaults);
        QCOMPARE(defaults.integerValue(SettingsKeys::autoLockMinutes), 15);
        defaults.setValue(SettingsKeys::appTheme, QStringLiteral("classic"));
        QCOMPARE(readAll(prefsPath() + QStringLiteral(".unreadable")), garbage);
        QCOMPARE(UserDefaults::readFile(prefsPath())->value(SettingsKeys::appTheme).toString(),
                 QStringLiteral("classic"));
    }

    void changesByAnotherProcessReachEveryReader()
    {
        UserDefaults reader(prefsPath());
        SettingsKeys::registerDefaults(reader);
        reader.setValue(SettingsKeys::appTheme, QStringLiteral("classic"));
        QSignalSpy spy(&reader, &UserDefaults::changed);
        // Another writer replaces the file the way every writer does: atomically.
        QVariantMap values = *UserDefaults::readFile(prefsPath());
        values.insert(SettingsKeys::lockOnScreenLock, false);
        QVERIFY(UserDefaults::writeFile(prefsPath(), values));
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.first().at(0).toString(), SettingsKeys::lockOnScreenLock);
        QCOMPARE(reader.boolValue(SettingsKeys::lockOnScreenLock), false);
        QCOMPARE(reader.stringValue(SettingsKeys::appTheme), QStringLiteral("classic"));
    }
};

QTEST_GUILESS_MAIN(TestUserDefaults)
#include "tst_userdefaults.moc"

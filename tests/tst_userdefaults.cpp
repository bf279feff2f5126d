#include "TestEnvironment.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QSignalSpy>
#include <QTest>

class TestUserDefaults : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    [[nodiscard]] QString prefsPath() const { return m_env.config() + u"/prefs.json"_s; }

private Q_SLOTS:
    void cleanup() { QDir(m_env.config()).removeRecursively(); }

    // Registering defaults writes nothing, and keys without one have no fallback (the values
    // themselves are checked where people see them, in the settings window). Stored values win over
    // the defaults; removing one brings its default back.
    void registeredDefaultsAndStoredValues()
    {
        {
            UserDefaults defaults(prefsPath());
            SettingsKeys::registerDefaults(defaults);
            QVERIFY(!defaults.stringValue(SettingsKeys::appTheme));
            QVERIFY(!defaults.dataValue(SettingsKeys::activityLog));
            QVERIFY(!QFile::exists(prefsPath()));
            defaults.setValue(SettingsKeys::autoLockMinutes, qint64(60));
            defaults.setValue(SettingsKeys::lockOnQuit, false);
        }
        const QByteArray before = readAll(prefsPath());
        UserDefaults restarted(prefsPath());
        SettingsKeys::registerDefaults(restarted);
        QCOMPARE(restarted.integerValue(SettingsKeys::autoLockMinutes), 60);
        QCOMPARE(restarted.boolValue(SettingsKeys::lockOnQuit), false);
        QCOMPARE(readAll(prefsPath()), before);
        restarted.removeValue(SettingsKeys::autoLockMinutes);
        QCOMPARE(restarted.integerValue(SettingsKeys::autoLockMinutes), 15);
    }

    void everyValueTypeSurvivesTheFile()
    {
        const QByteArray bytes("\x00\x01\xff binary", 10);
        const Timestamp when{786000000.125};
        const QVariantMap nested{{u"list"_s, QVariantList{qint64(1), u"two"_s, true}}};
        {
            UserDefaults defaults(prefsPath());
            defaults.setValues({{u"flag"_s, true},
                                {u"count"_s, qint64(42)},
                                {u"ratio"_s, 0.25},
                                {u"text"_s, u"“quoted” …"_s},
                                {u"blob"_s, bytes},
                                {u"when"_s, QVariant::fromValue(when)},
                                {u"nested"_s, nested}});
        }
        UserDefaults reread(prefsPath());
        QCOMPARE(reread.boolValue(u"flag"_s), true);
        QCOMPARE(reread.integerValue(u"count"_s), 42);
        QCOMPARE(reread.object(u"ratio"_s).toDouble(), 0.25);
        QCOMPARE(reread.stringValue(u"text"_s), u"“quoted” …"_s);
        QCOMPARE(reread.dataValue(u"blob"_s), bytes);
        QCOMPARE(reread.dateValue(u"when"_s), when);
        QCOMPARE(reread.object(u"nested"_s).toMap(), nested);
        // The write is atomic: no temporary file is left beside the preferences.
        QCOMPARE(QDir(m_env.config()).entryList(QDir::Files), QStringList{u"prefs.json"_s});
    }

    void unreadableFileIsSetAsideNotLost()
    {
        const QByteArray garbage = "{ this is not json";
        QVERIFY(writeAll(prefsPath(), garbage));
        UserDefaults defaults(prefsPath());
        SettingsKeys::registerDefaults(defaults);
        QCOMPARE(defaults.integerValue(SettingsKeys::autoLockMinutes), 15);
        defaults.setValue(SettingsKeys::appTheme, u"classic"_s);
        QCOMPARE(readAll(prefsPath() + u".unreadable"_s), garbage);
        QCOMPARE(UserDefaults::readFile(prefsPath())->value(SettingsKeys::appTheme).toString(), u"classic"_s);
    }

    void changesByAnotherProcessReachEveryReader()
    {
        UserDefaults reader(prefsPath());
        SettingsKeys::registerDefaults(reader);
        reader.setValue(SettingsKeys::appTheme, u"classic"_s);
        QSignalSpy spy(&reader, &UserDefaults::changed);
        // Another writer replaces the file the way every writer does: atomically.
        QVariantMap values = *UserDefaults::readFile(prefsPath());
        values.insert(SettingsKeys::lockOnScreenLock, false);
        QVERIFY(UserDefaults::writeFile(prefsPath(), values));
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.first().at(0).toString(), SettingsKeys::lockOnScreenLock);
        QCOMPARE(reader.boolValue(SettingsKeys::lockOnScreenLock), false);
        QCOMPARE(reader.stringValue(SettingsKeys::appTheme), u"classic"_s);
    }
};

QTEST_GUILESS_MAIN(TestUserDefaults)
#include "tst_userdefaults.moc"

// What's New opens once after an update to a version with release notes, never on a first launch.

#include "TestEnvironment.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "ui/Changelog.h"
#include "ui/SymbolImage.h"

#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

class TestChangelog : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

private Q_SLOTS:
    void launches_data()
    {
        QTest::addColumn<QString>("previous"); // empty: never launched
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("shown");
        QTest::newRow("first launch") << "" << "1.9.3" << false;
        QTest::newRow("update with notes") << "1.9.2" << "1.9.3" << true;
        QTest::newRow("same version") << "1.9.3" << "1.9.3" << false;
        QTest::newRow("update without notes") << "1.9.3" << "1.9.4" << false;
        QTest::newRow("range label") << "1.0" << "1.1 – 1.2" << true;
    }
    void launches()
    {
        QFETCH(QString, previous);
        QFETCH(QString, current);
        QFETCH(bool, shown);
        UserDefaults defaults(m_env.config() + u"/prefs-%1.json"_s.arg(QTest::currentDataTag()));
        if (!previous.isEmpty())
            defaults.setValue(SettingsKeys::lastLaunchedVersion, previous);
        QCOMPARE(Changelog::takeUpdate(defaults, current), shown);
        QCOMPARE(defaults.stringValue(SettingsKeys::lastLaunchedVersion), current);
        // The next launch of the same version shows nothing.
        QVERIFY(!Changelog::takeUpdate(defaults, current));
    }
    // Every note has a symbol the icon font draws.
    void notesAreComplete()
    {
        QCOMPARE(Changelog::entries().first().toMap().value(u"version"_s), Changelog::version());
        for (const QVariant &entry : Changelog::entries())
            for (const QVariant &point : entry.toMap().value(u"points"_s).toList())
                QVERIFY2(!SymbolImage::glyph(point.toMap().value(u"icon"_s).toString()).isEmpty(),
                         qPrintable(point.toMap().value(u"icon"_s).toString()));
    }
};

QTEST_GUILESS_MAIN(TestChangelog)
#include "tst_changelog.moc"

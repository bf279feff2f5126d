#include "TestEnvironment.h"
#include "store/VaultRules.h"

#include <QTest>

using namespace VaultRules;

namespace {
const QString strong = u"correct horse"_s;
}

class TestVaultRules : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

private Q_SLOTS:
    void namesAreTrimmedOfSpacesButKeepLineBreaks()
    {
        QCOMPARE(trimmedName(u" \t\u00a0\u2003Taxes 2024 \t"_s), u"Taxes 2024"_s);
        QCOMPARE(trimmedName(u"Taxes\n"_s), u"Taxes\n"_s);
        QCOMPARE(trimmedHint(u" \n\u2028dog\r\n\t"_s), u"dog"_s);
        QVERIFY(trimmedName(u"   "_s).isEmpty());
    }

    void createFormShowsTheFirstProblemOnly_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("enabled");

        QTest::newRow("spaces only: no message, disabled") << "   "
                                                           << "abc"
                                                           << "x"
                                                           << ""
                                                           << "" << false;
        QTest::newRow("empty name beats a short password") << ""
                                                           << "abc"
                                                           << ""
                                                           << ""
                                                           << "" << false;
        QTest::newRow("slash") << "a/b" << strong << strong << "" << nameCharactersMessage << false;
        QTest::newRow("colon with spaces") << "  a:b  "
                                           << "abc"
                                           << ""
                                           << "" << nameCharactersMessage << false;
        QTest::newRow("backslash and dot are fine") << "a\\b.c" << strong << strong << ""
                                                    << "" << true;
        QTest::newRow("leading dot, non-ASCII") << ".Geheimnis ü" << strong << strong << ""
                                                << "" << true;
        QTest::newRow("short password") << "Taxes"
                                        << "abc"
                                        << ""
                                        << "" << passwordTooShortMessage << false;
        QTest::newRow("empty password: silent") << "Taxes"
                                                << ""
                                                << ""
                                                << ""
                                                << "" << false;
        QTest::newRow("mismatch") << "Taxes" << strong << "correct hors"
                                  << "" << passwordsDontMatchMessage << false;
        QTest::newRow("short beats mismatch") << "Taxes"
                                              << "abc"
                                              << "abd"
                                              << "" << passwordTooShortMessage << false;
        QTest::newRow("empty confirmation: silent, disabled") << "Taxes" << strong << ""
                                                              << ""
                                                              << "" << false;
        QTest::newRow("hint equals password")
            << "Taxes" << strong << strong << strong << hintEqualsPasswordMessage << false;
        QTest::newRow("hint with trailing space still equal")
            << "Taxes" << strong << strong << strong + " " << hintEqualsPasswordMessage << false;
        QTest::newRow("hint differing in case")
            << "Taxes" << strong << strong << strong.toUpper() << "" << true;
        QTest::newRow("mismatch beats hint")
            << "Taxes" << strong << "other one" << strong << passwordsDontMatchMessage << false;
        QTest::newRow("120 characters plus spaces")
            << "Taxes" << strong << strong << "  " + QString(120, u'h') + "\n"
            << "" << true;
        QTest::newRow("121 characters beats equality") << "Taxes" << QString(121, u'h') << QString(121, u'h')
                                                       << QString(121, u'h') << hintTooLongMessage << false;
        QTest::newRow("hint of blanks is no hint") << "Taxes" << strong << strong << " \n\t "
                                                   << "" << true;
        QTest::newRow("six emoji are six characters")
            << "Taxes" << u"👍🏽👍🏽👍🏽👨‍👩‍👧👍🏽🇩🇪"_s
            << u"👍🏽👍🏽👍🏽👨‍👩‍👧👍🏽🇩🇪"_s << ""
            << "" << true;
        QTest::newRow("five emoji are too short")
            << "Taxes" << u"👍🏽👍🏽👍🏽👨‍👩‍👧👍🏽"_s << ""
            << "" << passwordTooShortMessage << false;
        QTest::newRow("decomposed confirmation matches")
            << "Taxes" << u"caf\u00e9-secret"_s << u"cafe\u0301-secret"_s << ""
            << "" << true;
    }

    void createFormShowsTheFirstProblemOnly()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, confirmation);
        QFETCH(QString, hint);
        QFETCH(QString, message);
        QFETCH(bool, enabled);
        QCOMPARE(createValidationMessage(name, password, confirmation, hint).value_or(QString()), message);
        QCOMPARE(canCreate(name, password, confirmation, hint, proposedSizeMB, false), enabled);
        if (enabled) {
            QVERIFY(!canCreate(name, password, confirmation, hint, proposedSizeMB, true));
            QVERIFY(!canCreate(name, password, confirmation, hint, 15, false));
        }
    }

    void hintRules()
    {
        QCOMPARE(normalizedPasswordHint(u"  dog \n"_s), u"dog"_s);
        QVERIFY(!normalizedPasswordHint(u" \n "_s));
        // With no saved password only the length rule applies.
        QVERIFY(!passwordHintValidationMessage(strong, QString()));
        QCOMPARE(passwordHintValidationMessage(QString(121, u'x'), QString()), hintTooLongMessage);
        // The password is compared as it is, untrimmed.
        QVERIFY(!passwordHintValidationMessage(strong, strong + QLatin1Char(' ')));
    }

    void maintenanceButtons()
    {
        QVERIFY(canChange(u"old"_s, strong, strong, QString(), false));
        QVERIFY(!canChange(QString(), strong, strong, QString(), false));
        QVERIFY(!canChange(u"old"_s, u"short"_s, u"short"_s, QString(), false));
        QVERIFY(!canChange(u"old"_s, strong, strong, strong, false));
        QVERIFY(!canChange(u"old"_s, strong, strong, QString(), true));

        QVERIFY(canRename(u"Taxes 2025"_s, u"Taxes"_s, u"pw"_s, false));
        QVERIFY(!canRename(u"  Taxes "_s, u"Taxes"_s, u"pw"_s, false));
        QVERIFY(!canRename(u"Ta/xes"_s, u"Taxes"_s, u"pw"_s, false));
        QVERIFY(!canRename(u"Other"_s, u"Taxes"_s, QString(), false));
        QVERIFY(!canRename(u"Other"_s, u"Taxes"_s, u"pw"_s, true));

        QVERIFY(canResize(u"pw"_s, 2048, 1024, false));
        QVERIFY(!canResize(u"pw"_s, 1024, 1024, false));
        QVERIFY(!canResize(QString(), 2048, 1024, false));
        QVERIFY(canSubmitPassword(u"pw"_s, false));
        QVERIFY(!canSubmitPassword(u"pw"_s, true));
    }

    void nameCollisionLooksForBothExtensions()
    {
        const QString folder = m_env.home();
        QVERIFY(!nameCollides(folder, u"Taxes"_s));
        QVERIFY(QDir(folder).mkpath(u"Taxes.nosync"_s));
        QVERIFY(nameCollides(folder, u"Taxes"_s));
        QVERIFY(QDir(folder).mkpath(u"Photos.sparsebundle"_s));
        QVERIFY(nameCollides(folder, u"Photos"_s));
        QVERIFY(!nameCollides(folder, u"photos"_s));
    }

    void resizeMinimumComesFromTheRecordedSize()
    {
        QCOMPARE(resizeMinimumMB(std::nullopt), 16);
        QCOMPARE(resizeMinimumMB(0), 16);
        QCOMPARE(resizeMinimumMB(20 * 1048576), 20);
        QCOMPARE(resizeMinimumMB(20 * 1048576 + 1), 21);
    }

    void sizeEntryStaysInsideItsRange()
    {
        QCOMPARE(sizeEntryRange(false, 16).lower, 16);
        QCOMPARE(sizeEntryRange(false, 16).upper, 4096);
        QCOMPARE(sizeEntryRange(true, 16).lower, 1);
        QCOMPARE(sizeEntryRange(true, 1025).lower, 2);
        QCOMPARE(sizeEntryRange(true, 16).upper, 4000);
        QCOMPARE(sizeEntryStep(false), 16);
        QCOMPARE(sizeEntryStep(true), 1);
        QCOMPARE(clampSizeEntry(5000, false, 16), 4096);
        QCOMPARE(clampSizeEntry(3, false, 100), 100);
        QCOMPARE(clampSizeEntry(0, true, 16), 1);
        // A minimum above the top of the range is both bounds: nothing below it gets through.
        QCOMPARE(clampSizeEntry(100, false, 5000), 5000);
        QCOMPARE(sizeEntryRange(false, 5000).upper, 5000);
        // Switching units.
        QCOMPARE(convertSizeEntry(10, false), 4096);
        QCOMPARE(convertSizeEntry(2, false), 2048);
        QCOMPARE(convertSizeEntry(1536, true), 1);
        QCOMPARE(convertSizeEntry(2047, true), 1);
        QCOMPARE(convertSizeEntry(3072, true), 3);
        QCOMPARE(convertSizeEntry(512, true), 1);
        QCOMPARE(sizeEntryMegabytes(10, true), proposedSizeMB);
    }
};

QTEST_GUILESS_MAIN(TestVaultRules)
#include "tst_vaultrules.moc"

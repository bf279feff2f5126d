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
        for (const char *column : {"name", "password", "confirmation", "hint", "message"})
            QTest::addColumn<QString>(column);
        QTest::addColumn<bool>("enabled");
        const auto row = [](const char *tag, const QString &name, const QString &password,
                            const QString &confirmation, const QString &hint, const QString &message,
                            bool enabled) {
            QTest::newRow(tag) << name << password << confirmation << hint << message << enabled;
        };
        const QString emoji5 = u"👍🏽👍🏽👍🏽👨‍👩‍👧👍🏽"_s,
                      emoji6 = emoji5 + u"🇩🇪"_s;
        row("spaces only: no message, disabled", u"   "_s, u"abc"_s, u"x"_s, {}, {}, false);
        row("empty name beats a short password", {}, u"abc"_s, {}, {}, {}, false);
        row("slash", u"a/b"_s, strong, strong, {}, nameCharactersMessage, false);
        row("colon with spaces", u"  a:b  "_s, u"abc"_s, {}, {}, nameCharactersMessage, false);
        row("backslash, dots and non-ASCII are fine", u".a\\b.c ü"_s, strong, strong, {}, {}, true);
        row("short password", u"Taxes"_s, u"abc"_s, {}, {}, passwordTooShortMessage, false);
        row("empty password: silent", u"Taxes"_s, {}, {}, {}, {}, false);
        row("mismatch", u"Taxes"_s, strong, u"correct hors"_s, {}, passwordsDontMatchMessage, false);
        row("short beats mismatch", u"Taxes"_s, u"abc"_s, u"abd"_s, {}, passwordTooShortMessage, false);
        row("empty confirmation: silent", u"Taxes"_s, strong, {}, {}, {}, false);
        row("hint with a space equals password", u"Taxes"_s, strong, strong, strong + u" "_s,
            hintEqualsPasswordMessage, false);
        row("hint differing in case", u"Taxes"_s, strong, strong, strong.toUpper(), {}, true);
        row("mismatch beats hint", u"Taxes"_s, strong, u"other one"_s, strong, passwordsDontMatchMessage,
            false);
        row("120 characters plus spaces", u"Taxes"_s, strong, strong, u"  "_s + QString(120, u'h') + u"\n"_s,
            {}, true);
        const QString long121(121, u'h');
        row("121 characters beats equality", u"Taxes"_s, long121, long121, long121, hintTooLongMessage,
            false);
        row("six emoji are six characters", u"Taxes"_s, emoji6, emoji6, {}, {}, true);
        row("five emoji are too short", u"Taxes"_s, emoji5, {}, {}, passwordTooShortMessage, false);
        row("decomposed confirmation matches", u"Taxes"_s, u"caf\u00e9-secret"_s, u"cafe\u0301-secret"_s, {},
            {}, true);
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
        QCOMPARE(clampSizeEntry(5000, false, 16), 4096);
        QCOMPARE(clampSizeEntry(3, false, 100), 100);
        QCOMPARE(clampSizeEntry(0, true, 16), 1);
        // A minimum above the top of the range is both bounds: nothing below it gets through.
        QCOMPARE(clampSizeEntry(100, false, 5000), 5000);
        QCOMPARE(sizeEntryRange(false, 5000).upper, 5000);
        // Switching units.
        QCOMPARE(convertSizeEntry(2, false), 2048);
        QCOMPARE(convertSizeEntry(1536, true), 1);
        QCOMPARE(convertSizeEntry(2047, true), 1);
        QCOMPARE(convertSizeEntry(3072, true), 3);
        QCOMPARE(convertSizeEntry(512, true), 1);
    }
};

QTEST_GUILESS_MAIN(TestVaultRules)
#include "tst_vaultrules.moc"

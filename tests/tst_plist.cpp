#include "diskimage/Plist.h"

#include <QDateTime>
#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray readFixture(const char *name)
{
    QFile file(QStringLiteral(TESTS_DATA_DIR "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestPlist : public QObject
{
    Q_OBJECT

    static QVariant parsed(const QByteArray &xml)
    {
        return Plist::parse(xml).value_or(QVariant(u"<none>"_s));
    }

private Q_SLOTS:
    void readsTheToolsOutput()
    {
        const QByteArray xml = readFixture("attach-output.plist");
        const QVariantMap root = parsed(xml).toMap();
        const QVariantList entities = root.value(u"system-entities"_s).toList();
        QCOMPARE(entities.size(), 2);
        QCOMPARE(entities[0].toMap().value(u"potentially-mountable"_s), QVariant(false));
        const QVariantMap volume = entities[1].toMap();
        QCOMPARE(volume.value(u"mount-point"_s).toString(), u"/Volumes/Tom & Jerry “quoted”"_s);
        QCOMPARE(volume.value(u"size"_s).typeId(), int(QMetaType::LongLong));
        QCOMPARE(volume.value(u"size"_s).toLongLong(), -42);
        QCOMPARE(volume.value(u"ratio"_s).toDouble(), 0.5);
        QCOMPARE(volume.value(u"blob"_s).toByteArray(), QByteArray("\0\1\2", 3));
        QCOMPARE(volume.value(u"when"_s).toDateTime(), QDateTime(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC));
        QCOMPARE(volume.value(u"empty"_s), QVariant(QString()));
    }

    void roundTrip()
    {
        const QVariantMap value{{u"images"_s, QVariantList{QVariantMap{{u"image-path"_s, u"/a <b> & c"_s},
                                                                       {u"size"_s, qint64(4294967296)},
                                                                       {u"flag"_s, true},
                                                                       {u"list"_s, QVariantList{}}}}}};
        QCOMPARE(parsed(Plist::serialize(value)), QVariant(value));
    }

    void refusesMalformedDocuments_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not xml") << QByteArray("/dev/disk4 Apple_HFS /Volumes/X");
        QTest::newRow("no plist element") << QByteArray("<dict><key>a</key><string>b</string></dict>");
        QTest::newRow("key without value") << QByteArray("<plist><dict><key>a</key></dict></plist>");
        QTest::newRow("value without key") << QByteArray("<plist><dict><string>b</string></dict></plist>");
        QTest::newRow("unknown element") << QByteArray("<plist><dict><key>a</key><thing/></dict></plist>");
        QTest::newRow("bad integer") << QByteArray("<plist><integer>12x</integer></plist>");
        QTest::newRow("integer overflow")
            << QByteArray("<plist><integer>99999999999999999999999</integer></plist>");
        QTest::newRow("nested in a string") << QByteArray("<plist><string>a<b/></string></plist>");
        QTest::newRow("truncated") << QByteArray("<plist><dict><key>system-entities</key><array><dict>");
        QTest::newRow("two roots") << QByteArray("<plist><string>a</string><string>b</string></plist>");
        QTest::newRow("too deep") << QByteArray("<plist>") + QByteArray("<array>").repeated(100000) +
                                         QByteArray("</array>").repeated(100000) + QByteArray("</plist>");
        QTest::newRow("entity bomb") << readFixture("entity-bomb.plist");
    }

    void refusesMalformedDocuments()
    {
        QFETCH(QByteArray, xml);
        QVERIFY(!Plist::parse(xml));
    }
};

QTEST_GUILESS_MAIN(TestPlist)
#include "tst_plist.moc"

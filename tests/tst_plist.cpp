#include "diskimage/Plist.h"

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

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
        return Plist::parse(xml).value_or(QVariant(QStringLiteral("<none>")));
    }

private Q_SLOTS:
    void readsTheToolsOutput()
    {
        const QByteArray xml = readFixture("attach-output.plist");
        const QVariantMap root = parsed(xml).toMap();
        const QVariantList entities = root.value(QStringLiteral("system-entities")).toList();
        QCOMPARE(entities.size(), 2);
        QCOMPARE(entities[0].toMap().value(QStringLiteral("potentially-mountable")), QVariant(false));
        const QVariantMap volume = entities[1].toMap();
        QCOMPARE(volume.value(QStringLiteral("mount-point")).toString(),
                 QStringLiteral("/Volumes/Tom & Jerry “quoted”"));
        QCOMPARE(volume.value(QStringLiteral("size")).typeId(), int(QMetaType::LongLong));
        QCOMPARE(volume.value(QStringLiteral("size")).toLongLong(), -42);
        QCOMPARE(volume.value(QStringLiteral("ratio")).toDouble(), 0.5);
        QCOMPARE(volume.value(QStringLiteral("blob")).toByteArray(), QByteArray("\0\1\2", 3));
        QCOMPARE(volume.value(QStringLiteral("when")).toDateTime(),
                 QDateTime(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC));
        QCOMPARE(volume.value(QStringLiteral("empty")), QVariant(QString()));
    }

    void roundTrip()
    {
        const QVariantMap value{
            {QStringLiteral("images"),
             QVariantList{QVariantMap{{QStringLiteral("image-path"), QStringLiteral("/a <b> & c")},
                                      {QStringLiteral("size"), qint64(4294967296)},
                                      {QStringLiteral("flag"), true},
                                      {QStringLiteral("list"), QVariantList{}}}}}};
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

    // Random bytes, random cuts and random corruptions of real documents never crash the reader.
    void randomDocumentsNeverCrash()
    {
        const QByteArray sample = Plist::serialize(QVariantMap{
            {QStringLiteral("images"),
             QVariantList{QVariantMap{
                 {QStringLiteral("image-path"), QStringLiteral("/v/A.sparsebundle")},
                 {QStringLiteral("system-entities"),
                  QVariantList{QVariantMap{{QStringLiteral("mount-point"), QStringLiteral("/mnt/A")}}}}}}}});
        QRandomGenerator random(20261205);
        static const QList<QByteArray> pieces{
            "<plist>",  "</plist>",  "<dict>",    "</dict>",    "<array>", "</array>", "<key>",   "</key>",
            "<string>", "</string>", "<integer>", "</integer>", "<true/>", "<data>",   "</data>", "&amp;",
            "&#0;",     "<![CDATA[", "]]>",       "<!--",       "-->",     "x",        "\xff"};
        int parsedCount = 0;
        for (int round = 0; round < 20000; ++round) {
            QByteArray xml;
            switch (round % 4) {
            case 0: // a cut of a real document
                xml = sample.left(random.bounded(sample.size() + 1));
                break;
            case 1: { // a real document with random bytes changed
                xml = sample;
                for (int i = random.bounded(1, 8); i > 0; --i)
                    xml[random.bounded(xml.size())] = char(random.bounded(256));
                break;
            }
            case 2: // random markup
                for (int i = random.bounded(40); i > 0; --i)
                    xml += pieces[random.bounded(pieces.size())];
                break;
            default: // random bytes
                for (int i = random.bounded(200); i > 0; --i)
                    xml += char(random.bounded(256));
            }
            if (Plist::parse(xml))
                ++parsedCount;
        }
        // Whole cuts of the sample parse; the rest mostly does not.
        QVERIFY(parsedCount > 0);
        QVERIFY(parsedCount < 20000);
    }
};

QTEST_GUILESS_MAIN(TestPlist)
#include "tst_plist.moc"

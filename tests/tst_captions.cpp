#include "store/Captions.h"
#include "store/Vault.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestCaptions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Size limits in whole gigabytes or megabytes, and the capacity lines built from them.
    void limitsAndCapacity()
    {
        QCOMPARE(formatLimitMB(1024), u"1 GB"_s);
        QCOMPARE(formatLimitMB(1536), u"1536 MB"_s);
        QCOMPARE(formatLimitMB(0), u"0 GB"_s);
        QCOMPARE(formatLimitMB(16), u"16 MB"_s);
        QCOMPARE(formatLimitMB(4096000), u"4000 GB"_s);
        Vault vault;
        vault.maxSizeMB = 2048;
        QCOMPARE(capacityCaption(1234567, vault, false), u"1.2 MB on disk · up to 2 GB"_s);
        vault.maxSizeMB = 1536;
        QCOMPARE(capacityCaption(1000, vault, true), u"1 KB used of 1536 MB"_s);
    }

    void byteCountsAreDecimal_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "0 bytes";
        QTest::newRow("one") << qint64(1) << "1 byte";
        QTest::newRow("999") << qint64(999) << "999 bytes";
        QTest::newRow("1000") << qint64(1000) << "1 KB";
        QTest::newRow("1500 rounds") << qint64(1500) << "2 KB";
        QTest::newRow("999.6 KB becomes MB") << qint64(999600) << "1 MB";
        QTest::newRow("1.2 MB") << qint64(1234567) << "1.2 MB";
        QTest::newRow("2 GB limit in bytes") << qint64(2147483648) << "2.15 GB";
        QTest::newRow("4.5 GB") << qint64(4500000000) << "4.5 GB";
        QTest::newRow("4 TB") << qint64(4000000000000) << "4 TB";
    }

    void byteCountsAreDecimal()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatByteCount(bytes), text);
    }
};

QTEST_GUILESS_MAIN(TestCaptions)
#include "tst_captions.moc"

// Bringing files into a real, unlocked vault: names, order, failures, moving to the Trash, and a
// large copy that leaves the event loop running and can be cancelled.

#include "ToolHarness.h"
#include "import/Import.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using Finished = std::tuple<int, std::optional<QString>, bool>;

class TestImport : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "import-pass";
    QString m_vault;
    QString m_sources;

    QString source(const QString &relative, const QByteArray &content = "x")
    {
        writeAll(m_sources + u'/' + relative, content);
        return m_sources + u'/' + relative;
    }
    static Finished importAll(Import &import, const QStringList &sources, const QString &into, bool move)
    {
        QSignalSpy finished(&import, &Import::finished);
        import.start(sources, into, move);
        if (!finished.wait(180000))
            return {-1, u"no end"_s, false};
        return {finished.first().at(0).toInt(), finished.first().at(1).value<std::optional<QString>>(),
                finished.first().at(2).toBool()};
    }
    [[nodiscard]] QStringList inVault() const
    {
        return QDir(m_vault).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString bundle = m_env.home() + u"/Imports.sparsebundle"_s;
        m_vault = attachNewVault(bundle, m_password, 2048);
        QVERIFY(!m_vault.isEmpty());
        m_sources = m_env.home() + u"/sources"_s;
    }
    void init()
    {
        for (const QString &entry : inVault())
            if (entry != u"lost+found"_s && !QFile::remove(m_vault + u'/' + entry))
                QDir(m_vault + u'/' + entry).removeRecursively();
        QDir(m_sources).removeRecursively();
    }
    void cleanupTestCase()
    {
        detachEverything(m_env.root());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    void freeNames_data()
    {
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << "a.txt" << "a.txt";
        QTest::newRow("two taken") << QStringList{"a.txt", "a 2.txt"} << "a.txt" << "a 3.txt";
        QTest::newRow("no extension") << QStringList{"notes"} << "notes" << "notes 2";
        QTest::newRow("last dot only") << QStringList{"archive.tar.gz"} << "archive.tar.gz" << "archive.tar 2.gz";
        QTest::newRow("hidden file") << QStringList{".profile"} << ".profile" << ".profile 2";
        QTest::newRow("dangling link counts") << QStringList{"@link"} << "link" << "link 2";
    }
    void freeNames()
    {
        QFETCH(QStringList, taken);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        for (const QString &entry : taken) {
            if (entry.startsWith(u'@'))
                QFile::link(u"/nonexistent"_s, m_vault + u'/' + entry.mid(1));
            else
                QFile(m_vault + u'/' + entry).open(QIODevice::WriteOnly);
        }
        QCOMPARE(Import::freeName(m_vault, name), expected);
    }

    // Same names from two folders; a folder comes in whole; the originals stay when copying.
    void copyKeepsEveryItem()
    {
        const QStringList items{source(u"one/Report.pdf"_s, "first"), source(u"two/Report.pdf"_s, "second")};
        source(u"Photos/2026/beach.jpg"_s, "sand");
        Import import;
        const auto [done, failure, cancelled] =
            importAll(import, {items[0], items[1], m_sources + u"/Photos"_s}, m_vault, false);
        QCOMPARE(done, 3);
        QVERIFY(!failure && !cancelled);
        QCOMPARE(inVault(), (QStringList{"Photos", "Report 2.pdf", "Report.pdf", "lost+found"}));
        QCOMPARE(readAll(m_vault + u"/Report.pdf"_s), "first"_ba);
        QCOMPARE(readAll(m_vault + u"/Report 2.pdf"_s), "second"_ba);
        QCOMPARE(readAll(m_vault + u"/Photos/2026/beach.jpg"_s), "sand"_ba);
        QVERIFY(QFile::exists(items[0]));
    }

    // Moving: each original goes to the Trash after its copy. A failure on the second item stops
    // there: the first stays in the vault (its original in the Trash), the third is not touched.
    void moveStopsAtTheFirstFailure()
    {
        const QString first = source(u"a.txt"_s, "A");
        const QString third = source(u"c.txt"_s, "C");
        Import import;
        const auto [done, failure, cancelled] =
            importAll(import, {first, m_sources + u"/b.txt"_s, third}, m_vault, true);
        QCOMPARE(done, 1);
        QCOMPARE(failure, u"Could not add b.txt: No such file or directory"_s);
        QCOMPARE(inVault(), (QStringList{"a.txt", "lost+found"}));
        QVERIFY(!QFile::exists(first));
        QCOMPARE(readAll(m_env.data() + u"/Trash/files/a.txt"_s), "A"_ba);
        QVERIFY(QFile::exists(m_env.data() + u"/Trash/info/a.txt.trashinfo"_s));
        QCOMPARE(readAll(third), "C"_ba);
    }

    // A gigabyte copies while the event loop keeps running; a second copy cancelled half-way
    // leaves no half file and the first one whole.
    void largeCopyStaysResponsiveAndCancels()
    {
        const QString big = source(u"big.bin"_s);
        QCOMPARE(runProgram(u"sh"_s, {u"-c"_s, u"head -c 256M /dev/urandom > \"$0\""_s, big}).status, 0);
        int ticks = 0;
        QTimer ticking;
        connect(&ticking, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticking.start(50);
        QElapsedTimer clock;
        clock.start();
        Import import;
        const auto [done, failure, cancelled] = importAll(import, {big}, m_vault, false);
        QCOMPARE(done, 1);
        QVERIFY(!failure);
        // At least half the ticks of the time the copy took.
        QVERIFY2(ticks >= clock.elapsed() / 100, qPrintable(u"%1 ticks in %2 ms"_s.arg(ticks).arg(clock.elapsed())));
        const auto digest = [](const QString &path) {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            QCryptographicHash hash(QCryptographicHash::Sha256);
            hash.addData(&file);
            return hash.result();
        };
        QCOMPARE(digest(m_vault + u"/big.bin"_s), digest(big));

        Import second;
        QSignalSpy finished(&second, &Import::finished);
        connect(&second, &Import::progress, &second, [&second](qint64 written, qint64 total) {
            if (written > total / 3)
                second.cancel();
        });
        second.start({big}, m_vault, false);
        QVERIFY(finished.wait(180000));
        QCOMPARE(finished.first().at(2).toBool(), true);
        QCOMPARE(inVault(), (QStringList{"big.bin", "lost+found"}));
        QCOMPARE(QFileInfo(m_vault + u"/big.bin"_s).size(), qint64(256) << 20);
    }
};

QTEST_GUILESS_MAIN(TestImport)
#include "tst_import.moc"

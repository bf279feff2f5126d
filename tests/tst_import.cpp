// Bringing files into a real, unlocked vault: names, order, failures, moving to the Trash, and a
// large copy that leaves the event loop running and can be cancelled.

#include "ToolHarness.h"
#include "import/Import.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

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
    void cleanupTestCase() { detachAndExpectNothingLeft(m_env.root()); }

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

    // What cannot be brought in whole leaves nothing under its name: a copy that runs out of room
    // is removed, a pipe or a device is refused at once with a clear reason (it would block the
    // copy for ever), Move In refuses a link to something outside what is added (the data would
    // stay outside), and Copy brings in what such a link points to. "Folder/" is Folder.
    void whatCannotComeInWholeLeavesNothing()
    {
        // Room for a few megabytes only.
        const int fill = ::open(QFile::encodeName(m_vault + u"/filler"_s).constData(), O_WRONLY | O_CREAT, 0600);
        struct statvfs room;
        QVERIFY(fill >= 0 && statvfs(QFile::encodeName(m_vault).constData(), &room) == 0);
        QCOMPARE(::fallocate(fill, 0, 0, off_t(room.f_bavail * room.f_frsize) - (8 << 20)), 0);
        ::close(fill);
        const QString big = source(u"big.bin"_s, QByteArray(24 << 20, 'b'));
        Import import;
        auto [done, failure, cancelled] = importAll(import, {big}, m_vault, false);
        QCOMPARE(failure, u"Could not add big.bin: No space left on device"_s);
        QCOMPARE(inVault(), (QStringList{"filler", "lost+found"}));
        QVERIFY(QFile::remove(m_vault + u"/filler"_s));

        source(u"Folder/note.txt"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(m_sources + u"/Folder/pipe"_s).constData(), 0600), 0);
        std::tie(done, failure, cancelled) = importAll(import, {m_sources + u"/Folder/"_s}, m_vault, false);
        QVERIFY2(failure && failure->contains(u"“pipe” is not a file or a folder"_s), qPrintable(failure.value_or(QString())));
        QCOMPARE(inVault(), (QStringList{"lost+found"}));

        const QString outside = source(u"elsewhere/data.txt"_s, "kept outside");
        QVERIFY(QFile::link(outside, m_sources + u"/shortcut"_s));
        std::tie(done, failure, cancelled) = importAll(import, {m_sources + u"/shortcut"_s}, m_vault, true);
        QVERIFY2(failure && failure->contains(u"Move In would leave that outside"_s), qPrintable(failure.value_or(QString())));
        QVERIFY(QFileInfo(m_sources + u"/shortcut"_s).isSymLink());
        std::tie(done, failure, cancelled) = importAll(import, {m_sources + u"/shortcut"_s}, m_vault, false);
        QVERIFY(!failure);
        QVERIFY(!QFileInfo(m_vault + u"/shortcut"_s).isSymLink());
        QCOMPARE(readAll(m_vault + u"/shortcut"_s), "kept outside"_ba);
        QCOMPARE(Import::cleanPaths({u"/a/Photos/"_s, u""_s, u"/a/./Photos"_s, u"/b"_s}),
                 (QStringList{u"/a/Photos"_s, u"/b"_s}));
    }

    // A folder that is not the vault's mount any more (it was locked) never receives a file.
    void nothingLandsWhereTheVaultWas()
    {
        const QString bare = m_env.home() + u"/Vaults/Bare"_s;
        QVERIFY(QDir().mkpath(bare));
        Import import;
        const auto [done, failure, cancelled] = importAll(import, {source(u"secret.txt"_s, "plain")}, bare, false);
        QCOMPARE(failure, u"Could not add secret.txt: The vault was locked."_s);
        QVERIFY(QDir(bare).isEmpty());
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

#include "FakeTools.h"
#include "diskimage/CloudExclusion.h"
#include "diskimage/DiskImage.h"

#include <QTest>

#include <sys/xattr.h>

namespace {

bool hasIgnoreAttribute(const QString &path)
{
    char value[8] = {};
    const ssize_t length = getxattr(QFile::encodeName(path).constData(),
                                    CloudExclusion::attributeName().constData(), value, sizeof value);
    return length == 1 && value[0] == '1';
}

} // namespace

class TestCloudExclusion : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

    [[nodiscard]] QString bundle(const QString &name) const
    {
        const QString path = m_env.home() + QLatin1Char('/') + name;
        QDir().mkpath(path);
        writeAll(path + u"/Info.plist"_s, "<plist/>");
        return path;
    }

private Q_SLOTS:
    void cleanup()
    {
        QDir(m_env.home()).removeRecursively();
        QDir().mkpath(m_env.home());
    }

    void excludeAndIncludeRoundTrip()
    {
        const QString original = bundle(u"Taxes.sparsebundle"_s);
        const QString excluded = CloudExclusion::exclude(original);
        QCOMPARE(excluded, m_env.home() + u"/Taxes.nosync"_s);
        QVERIFY(!QFileInfo::exists(original));
        QVERIFY(QFile::exists(excluded + u"/Info.plist"_s));
        QVERIFY(hasIgnoreAttribute(excluded));
        // Excluding again keeps the name and sets the attribute again.
        QVERIFY(removexattr(QFile::encodeName(excluded).constData(),
                            CloudExclusion::attributeName().constData()) == 0);
        QCOMPARE(CloudExclusion::exclude(excluded), excluded);
        QVERIFY(hasIgnoreAttribute(excluded));

        const QString included = CloudExclusion::include(excluded);
        QCOMPARE(included, original);
        QVERIFY(!hasIgnoreAttribute(included));
        // Including a .sparsebundle keeps it and clears any attribute.
        setxattr(QFile::encodeName(included).constData(), CloudExclusion::attributeName().constData(), "1", 1,
                 0);
        QCOMPARE(CloudExclusion::include(included), included);
        QVERIFY(!hasIgnoreAttribute(included));
        // Other extensions come back as .sparsebundle; extensions are compared exactly.
        const QString image = bundle(u"Old.dmg"_s);
        QCOMPARE(CloudExclusion::include(CloudExclusion::exclude(image)),
                 m_env.home() + u"/Old.sparsebundle"_s);
        const QString upper = bundle(u"Shout.NOSYNC"_s);
        QCOMPARE(CloudExclusion::include(upper), upper);
    }

    void aTakenNameChangesNothing()
    {
        const QString original = bundle(u"Clash.sparsebundle"_s);
        const QString taken = bundle(u"Clash.nosync"_s);
        try {
            (void)CloudExclusion::exclude(original);
            QFAIL("the taken name was not noticed");
        } catch (const CloudExclusion::RenameError &error) {
            QVERIFY(QString::fromUtf8(error.what()).contains(u"same name already exists"_s));
        }
        QVERIFY(QFile::exists(original + u"/Info.plist"_s));
        QVERIFY(!hasIgnoreAttribute(original));
        QVERIFY(QFile::exists(taken + u"/Info.plist"_s));
    }

    void cloudDrivePaths()
    {
        QVERIFY(CloudExclusion::isInsideICloudDrive(
            u"/Users/ada/Library/Mobile Documents/com~apple~CloudDocs/V.sparsebundle"_s));
        QVERIFY(!CloudExclusion::isInsideICloudDrive(m_env.home()));
        QVERIFY(!CloudExclusion::isInsideICloudDrive(u"/Users/ada/Library/Mobile Documents"_s));
    }

    void unlockedVolumesStayOutOfTheIndexers()
    {
        FakeTools tools;
        const QString volume = m_env.home() + u"/Volume"_s;
        QVERIFY(QDir().mkpath(volume));
        QCoro::waitFor(CloudExclusion::excludeFromSpotlight(volume));
        // Only the indexers' own markers, which the tool writes, land in the vault's top folder.
        QVERIFY(QDir(volume).entryList(QDir::Hidden | QDir::Files | QDir::NoDotAndDotDot).isEmpty());
        QCOMPARE(tools.calls().size(), 1);
        QCOMPARE(tools.calls().first().tool, u"mdutil"_s);
        QCOMPARE(tools.calls().first().arguments, (QStringList{"-i", "off", volume}));
        // A failing mdutil is ignored, on a volume or on a path that is none.
        tools.respond(u"mdutil"_s, {}, "mdutil: failed", 1);
        QCoro::waitFor(CloudExclusion::excludeFromSpotlight(volume));
        QCoro::waitFor(CloudExclusion::excludeFromSpotlight(m_env.home() + u"/gone"_s));
        QCOMPARE(tools.calls().size(), 3);
        // Nor an indexer that runs past its time limit.
        tools.script(u"mdutil"_s, "sleep 30\n");
        DiskImage::setTimeLimitCap(std::chrono::milliseconds(500));
        QCoro::waitFor(CloudExclusion::excludeFromSpotlight(volume));
        DiskImage::setTimeLimitCap(std::chrono::milliseconds(0));
        QCOMPARE(tools.calls().size(), 4);
    }
};

QTEST_GUILESS_MAIN(TestCloudExclusion)
#include "tst_cloudexclusion.moc"

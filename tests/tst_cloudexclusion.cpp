#include "FakeTools.h"
#include "diskimage/CloudExclusion.h"

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
        writeAll(path + QStringLiteral("/Info.plist"), "<plist/>");
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
        const QString original = bundle(QStringLiteral("Taxes.sparsebundle"));
        const QString excluded = CloudExclusion::exclude(original);
        QCOMPARE(excluded, m_env.home() + QStringLiteral("/Taxes.nosync"));
        QVERIFY(!QFileInfo::exists(original));
        QVERIFY(QFile::exists(excluded + QStringLiteral("/Info.plist")));
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
    }

    void otherExtensionsComeBackAsSparseBundles()
    {
        const QString image = bundle(QStringLiteral("Old.dmg"));
        QCOMPARE(CloudExclusion::include(CloudExclusion::exclude(image)),
                 m_env.home() + QStringLiteral("/Old.sparsebundle"));
        // Extensions are compared exactly.
        const QString upper = bundle(QStringLiteral("Shout.NOSYNC"));
        QCOMPARE(CloudExclusion::include(upper), upper);
    }

    void aTakenNameChangesNothing()
    {
        const QString original = bundle(QStringLiteral("Clash.sparsebundle"));
        const QString taken = bundle(QStringLiteral("Clash.nosync"));
        QVERIFY_THROWS_EXCEPTION(CloudExclusion::RenameError, (void)CloudExclusion::exclude(original));
        QVERIFY(QFile::exists(original + QStringLiteral("/Info.plist")));
        QVERIFY(!hasIgnoreAttribute(original));
        QVERIFY(QFile::exists(taken + QStringLiteral("/Info.plist")));
        try {
            (void)CloudExclusion::exclude(original);
        } catch (const CloudExclusion::RenameError &error) {
            QVERIFY(QString::fromUtf8(error.what()).contains(QStringLiteral("same name already exists")));
        }
    }

    void cloudDrivePaths()
    {
        QVERIFY(CloudExclusion::isInsideICloudDrive(
            QStringLiteral("/Users/ada/Library/Mobile Documents/com~apple~CloudDocs/V.sparsebundle")));
        QVERIFY(!CloudExclusion::isInsideICloudDrive(m_env.home()));
        QVERIFY(!CloudExclusion::isInsideICloudDrive(QStringLiteral("/Users/ada/Library/Mobile Documents")));
    }

    void unlockedVolumesStayOutOfTheIndexers()
    {
        FakeTools tools;
        const QString volume = m_env.home() + QStringLiteral("/Volume");
        QVERIFY(QDir().mkpath(volume));
        QCoro::waitFor(CloudExclusion::excludeFromSpotlight(volume));
        QVERIFY(QFile::exists(volume + QStringLiteral("/.metadata_never_index")));
        QCOMPARE(tools.calls().size(), 1);
        QCOMPARE(tools.calls().first().tool, QStringLiteral("mdutil"));
        QCOMPARE(tools.calls().first().arguments, (QStringList{"-i", "off", volume}));
        // A second time neither fails nor adds a marker; a failing mdutil is ignored.
        tools.respond(QStringLiteral("mdutil"), {}, "mdutil: failed", 1);
        QCoro::waitFor(CloudExclusion::excludeFromSpotlight(volume));
        QCOMPARE(QDir(volume).entryList(QDir::Hidden | QDir::Files).size(), 1);
        // Nor is a volume that cannot take the marker.
        QCoro::waitFor(CloudExclusion::excludeFromSpotlight(m_env.home() + QStringLiteral("/gone")));
        QCOMPARE(tools.calls().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestCloudExclusion)
#include "tst_cloudexclusion.moc"

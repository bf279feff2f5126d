#include "TestEnvironment.h"
#include "store/VaultList.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

QList<Vault> decodeOrFail(const QByteArray &json)
{
    return VaultList::decode(json).value_or(QList<Vault>{Vault{}});
}

Vault sampleVault()
{
    Vault vault;
    vault.id = QUuid::fromString(u"{6ba7b810-9dad-11d1-80b4-00c04fd430c8}"_s);
    vault.name = u"Private “notes”"_s;
    vault.bundlePath = u"/home/ada/Private.sparsebundle"_s;
    vault.maxSizeMB = 1536;
    vault.createdAt = Timestamp{786543210.987654};
    vault.requireTouchID = true;
    vault.lastOpenedAt = Timestamp{786543999.25};
    vault.passwordHint = u"the usual"_s;
    return vault;
}

} // namespace

class TestVaultList : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

private Q_SLOTS:
    void cleanup() { QDir(m_env.data()).removeRecursively(); }

    void savedListReadsBackEqual()
    {
        Vault minimal = sampleVault();
        minimal.id = QUuid::createUuid();
        minimal.lastOpenedAt.reset();
        minimal.passwordHint.reset();
        minimal.openInFinderAfterUnlock = false;
        const QList<Vault> vaults{sampleVault(), minimal};
        const QString path = m_env.data() + u"/vaults.json"_s;
        QVERIFY(VaultList::save(path, vaults));
        QCOMPARE(VaultList::load(path), vaults);
    }

    void fileFormatIsTheDocumentedOne()
    {
        Vault vault = sampleVault();
        vault.passwordHint.reset();
        const QByteArray json = VaultList::encode({vault});
        const QJsonObject object = QJsonDocument::fromJson(json).array().first().toObject();
        QCOMPARE(object.value(u"id"_s).toString(), u"6BA7B810-9DAD-11D1-80B4-00C04FD430C8"_s);
        QVERIFY(object.value(u"createdAt"_s).isDouble());
        QCOMPARE(object.value(u"createdAt"_s).toDouble(), 786543210.987654);
        QCOMPARE(object.value(u"maxSizeMB"_s).toInteger(), 1536);
        QVERIFY(!object.contains(u"passwordHint"_s));
        QVERIFY(!object.contains(u"maxSizeGB"_s));
        QVERIFY(!json.contains("null"));
        // Pretty-printed (the JSON writer sorts keys itself), and nothing beyond the documented keys.
        QVERIFY(json.contains("\n    {\n        \"autoOpenAtLaunch\": false,\n        \"bundlePath\""));
        QCOMPARE(object.size(), 10);
    }

    void listsOfEarlierReleasesLoad()
    {
        const QList<Vault> vaults =
            VaultList::load(QStringLiteral(TESTS_DATA_DIR "/vaults-earlier-release.json"));
        QCOMPARE(vaults.size(), 3);

        const Vault &tax = vaults[0];
        QCOMPARE(tax.idText(), u"3F2504E0-4F89-11D3-9A0C-0305E82C3301"_s);
        QCOMPARE(tax.maxSizeMB, 2048);
        QCOMPARE(tax.createdAt.secondsSinceReferenceDate, 700000000.123456789);
        QVERIFY(!tax.lastOpenedAt);
        QVERIFY(!tax.passwordHint);
        QVERIFY(tax.openInFinderAfterUnlock);
        QVERIFY(!tax.requireTouchID && !tax.autoOpenAtLaunch && !tax.excludedFromCloud);

        const Vault &photos = vaults[1];
        QCOMPARE(photos.maxSizeMB, 1024); // null size, no gigabytes either
        QVERIFY(photos.excludedFromCloud && photos.requireTouchID && photos.autoOpenAtLaunch);
        QVERIFY(!photos.openInFinderAfterUnlock);
        QCOMPARE(photos.lastOpenedAt, Timestamp{720000000.5});
        QCOMPARE(photos.passwordHint, u"first dog"_s);

        QCOMPARE(vaults[2].maxSizeMB, 1024);
        QVERIFY(!vaults[2].excludedFromCloud);
        QVERIFY(vaults[2].openInFinderAfterUnlock);

        // After the next save only the current keys remain.
        const QByteArray saved = VaultList::encode(vaults);
        QVERIFY(!saved.contains("maxSizeGB"));
        QVERIFY(!saved.contains("themeColor"));
        QVERIFY(saved.contains("\"maxSizeMB\": 2048"));
        QVERIFY(saved.contains("3F2504E0-4F89-11D3-9A0C-0305E82C3301"));
        QCOMPARE(VaultList::decode(saved), vaults);
    }

    void oneBadObjectEmptiesTheWholeList_data()
    {
        QTest::addColumn<QByteArray>("json");
        const QByteArray good =
            R"("id": "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "name": "A", "bundlePath": "/a", )";
        QTest::newRow("not an array") << QByteArray(R"({"vaults": []})");
        QTest::newRow("not json") << QByteArray("[{");
        QTest::newRow("element not an object") << QByteArray("[1]");
        QTest::newRow("missing createdAt") << "[{" + good.chopped(2) + "}]";
        QTest::newRow("null name") << QByteArray(
            R"([{"id": "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "name": null, "bundlePath": "/a", "createdAt": 1}])");
        QTest::newRow("date as string") << "[{" + good + R"("createdAt": "2024-01-01T00:00:00Z"}])";
        QTest::newRow("bad uuid") << QByteArray(
            R"([{"id": "not-a-uuid", "name": "A", "bundlePath": "/a", "createdAt": 1}])");
        QTest::newRow("braced uuid") << QByteArray(
            R"([{"id": "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}", "name": "A", "bundlePath": "/a", "createdAt": 1}])");
        QTest::newRow("fractional size") << "[{" + good + R"("createdAt": 1, "maxSizeMB": 10.5}])";
        QTest::newRow("size as string") << "[{" + good + R"("createdAt": 1, "maxSizeMB": "1024"}])";
        QTest::newRow("gigabytes overflow")
            << "[{" + good + R"("createdAt": 1, "maxSizeGB": 9007199254740992}])";
        QTest::newRow("flag as number") << "[{" + good + R"("createdAt": 1, "requireTouchID": 1}])";
        QTest::newRow("hint as number") << "[{" + good + R"("createdAt": 1, "passwordHint": 7}])";
    }

    void oneBadObjectEmptiesTheWholeList()
    {
        QFETCH(QByteArray, json);
        QVERIFY(!VaultList::decode(json));
        QVERIFY(!VaultList::decode(
            QByteArray(
                R"([{"id": "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "name": "ok", "bundlePath": "/ok", "createdAt": 1}, )") +
            json.mid(1)));
        // A list that cannot be read is set aside beside it: a copy, never the fixture itself.
        const QString copy = m_env.data() + u"/vaults.json"_s;
        QDir().mkpath(m_env.data());
        QFile::remove(copy);
        QVERIFY(QFile::copy(QStringLiteral(TESTS_DATA_DIR "/vaults-one-without-bundlepath.json"), copy));
        QVERIFY(VaultList::load(copy).isEmpty());
        QVERIFY(QFile::exists(copy + u".unreadable"_s));
        QCOMPARE(decodeOrFail("[]"), QList<Vault>());
    }

    void unreadableListIsKeptUntilTheNextSave()
    {
        const QString path = VaultList::openStoreFile(m_env.data());
        const QByteArray broken = R"([{"id": "oops"}])";
        QVERIFY(writeAll(path, broken));
        QVERIFY(VaultList::load(path).isEmpty());
        QCOMPARE(readAll(path), broken);
        QCOMPARE(readAll(path + u".unreadable"_s), broken);
        QVERIFY(VaultList::save(path, {sampleVault()}));
        QCOMPARE(VaultList::load(path), QList<Vault>{sampleVault()});
        QVERIFY(VaultList::load(path + u".missing"_s).isEmpty());
    }

    void earlierReleaseFolderMovesOnce()
    {
        const QString legacy = m_env.data() + u"/Ambrybox/vaults.json"_s;
        QVERIFY(QDir().mkpath(m_env.data() + u"/Ambrybox"_s));
        QVERIFY(VaultList::save(legacy, {sampleVault()}));
        const QString path = VaultList::openStoreFile(m_env.data());
        QCOMPARE(path, m_env.data() + u"/Hollowkeep/vaults.json"_s);
        QVERIFY(!QFile::exists(legacy));
        QCOMPARE(VaultList::load(path), QList<Vault>{sampleVault()});

        // With both folders present nothing moves and the current one is used.
        QVERIFY(writeAll(legacy, "[]"));
        QCOMPARE(VaultList::openStoreFile(m_env.data()), path);
        QVERIFY(QFile::exists(legacy));
        QCOMPARE(VaultList::load(path).size(), 1);
    }

    void freshFolderIsCreated()
    {
        const QString path = VaultList::openStoreFile(m_env.data() + u"/deeper/still"_s);
        QVERIFY(QFileInfo(path).absoluteDir().exists());
        QVERIFY(VaultList::load(path).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestVaultList)
#include "tst_vaultlist.moc"

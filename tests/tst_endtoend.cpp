// The whole program driven like a user, on a real X server: the application's main window and
// sheets, the real disk-image tools on FUSE, a real Secret Service on a private D-Bus session. After
// every step the test looks at what is on disk, in the keyring and in the vault list.

#include "FakeTools.h"
#include "StoreHarness.h"
#include "WindowDriver.h"
#include "app/HollowkeepApp.h"
#include "diskimage/DiskImage.h"
#include "platform/Keychain.h"
#include "store/VaultList.h"

#include <QApplication>
#include <QScopeGuard>
#include <QtQml/qqmlextensionplugin.h>

#include <fcntl.h>
#include <unistd.h>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

using namespace Qt::Literals::StringLiterals;
using namespace WindowDriver;

namespace {

constexpr int toolTimeout = 60000;
const QString firstPassword = QStringLiteral("lighthouse keeper 1");
const QString secondPassword = QStringLiteral("harbour pilot 22");
const QByteArray secret = "Meet at the old lighthouse at dawn.\n";

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    RecordingFileManager m_fileManager;
    std::unique_ptr<HollowkeepApp> m_app;
    QQuickWindow *m_window = nullptr;
    bool m_stepFailed = false;

    static VaultStore &store() { return VaultStore::shared(); }
    // The list as saved on disk, not as the store holds it.
    static QList<Vault> savedList() { return VaultList::load(store().storeURL()); }
    // The keyring's entry for the vault; empty when there is none.
    static QString savedPassword(const QUuid &id)
    {
        return QCoro::waitFor(Keychain::password(id)).value_or(QString());
    }
    static bool opens(const QString &bundle, const QString &password)
    {
        const Outcome<void> outcome = awaitTask(DiskImage::verifyPassword(bundle, password));
        return outcome.done && !outcome.error;
    }

    QObject *sheet(const char *name) const { return m_window->findChild<QObject *>(QLatin1String(name)); }
    QQuickItem *card() const { return findItem(m_window, QStringLiteral("vaultCard")); }
    // Opens the card's menu with a secondary click and picks an entry.
    bool chooseFromMenu(const QString &entry)
    {
        QQuickItem *vaultCard = card();
        if (!vaultCard)
            return false;
        click(vaultCard, Qt::RightButton);
        QQuickItem *item = nullptr;
        if (!QTest::qWaitFor([&] { return (item = findByText(m_window->contentItem(), entry)) != nullptr; }))
            return false;
        click(item);
        return true;
    }
    // Picks the entry from the card's menu and waits for its sheet; null when it did not open.
    QObject *openFromMenu(const QString &entry, const char *sheetName)
    {
        QObject *opened = chooseFromMenu(entry) ? sheet(sheetName) : nullptr;
        return waitOpened(opened) ? opened : nullptr;
    }
    // The text of a field; empty when there is no such field.
    static QString fieldText(QObject *scope, const QString &name)
    {
        QQuickItem *field = findItem(scope, name);
        return field ? field->property("text").toString() : QString();
    }
    bool waitOpened(QObject *popup)
    {
        return popup && QTest::qWaitFor([popup] { return popup->property("opened").toBool(); }, 10000);
    }
    bool waitClosed(QObject *popup)
    {
        return QTest::qWaitFor([popup] { return !popup->property("visible").toBool(); }, toolTimeout);
    }
    static QString plistSize(const QString &bundle)
    {
        static const QRegularExpression pattern(QStringLiteral("<key>size</key>\\s*<integer>(\\d+)</integer>"));
        return pattern.match(QString::fromUtf8(readAll(bundle + QStringLiteral("/Info.plist")))).captured(1);
    }
    // Whether any file of the vault holds these bytes as they are. The image is sparse: only its
    // data regions are read, in pieces that overlap by the length of the bytes.
    static bool bundleContains(const QString &bundle, const QByteArray &bytes)
    {
        QDirIterator files(bundle, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const int fd = ::open(QFile::encodeName(files.next()).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return true;
            const auto closer = qScopeGuard([fd] { ::close(fd); });
            off_t data = 0;
            while ((data = ::lseek(fd, data, SEEK_DATA)) >= 0) {
                const off_t hole = ::lseek(fd, data, SEEK_HOLE);
                for (off_t at = data; at < hole; at += 1 << 20) {
                    QByteArray piece(qMin<off_t>((1 << 20) + bytes.size(), hole - at), Qt::Uninitialized);
                    if (::pread(fd, piece.data(), piece.size(), at) != piece.size() || piece.contains(bytes))
                        return true;
                }
                data = hole;
            }
        }
        return false;
    }
    static Vault onlyVault()
    {
        const QList<Vault> vaults = savedList();
        return vaults.size() == 1 ? vaults.first() : Vault{};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_fileManager.registerOnBus());
        QDir().mkpath(m_env.home() + QStringLiteral("/Documents"));
        m_app = std::make_unique<HollowkeepApp>();
        QVERIFY(m_app->start());
        m_window = m_app->mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        // Keyboard shortcuts go to the window that has the focus, as on a desktop.
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    }
    void cleanupTestCase()
    {
        if (m_app)
            QCoro::waitFor(store().lockAll(true, QStringLiteral("quit")));
        detachEverything(m_env.root());
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }
    // The steps build on each other: after a failed one the rest cannot mean anything.
    void init()
    {
        if (m_stepFailed)
            QFAIL("an earlier step failed");
    }
    // Every step ends without an error alert.
    void cleanup()
    {
        const QString error = store().errorMessage().value_or(QString());
        m_stepFailed = m_stepFailed || QTest::currentTestFailed() || !error.isEmpty();
        QCOMPARE(error, QString());
    }

    void createFromTheSheet()
    {
        click(findItem(m_window, QStringLiteral("createFirstButton")));
        QObject *create = sheet("createVaultView");
        QVERIFY(waitOpened(create));
        QQuickItem *createButton = findItem(create, QStringLiteral("createButton"));
        type(findItem(create, QStringLiteral("nameField")), QStringLiteral("Field Notes"));
        type(findItem(create, QStringLiteral("passwordField")), firstPassword);
        QVERIFY(!createButton->isEnabled());
        type(findItem(create, QStringLiteral("confirmField")), firstPassword);
        type(findItem(create, QStringLiteral("hintField")), QStringLiteral("the tower by the sea"));
        QVERIFY(findItem(create, QStringLiteral("saveToKeychain"))->property("checked").toBool());
        QVERIFY(createButton->isEnabled());
        click(createButton);
        QVERIFY(waitClosed(create));

        const Vault vault = onlyVault();
        QCOMPARE(vault.name, QStringLiteral("Field Notes"));
        QCOMPARE(vault.maxSizeMB, 10240);
        QCOMPARE(vault.passwordHint, QStringLiteral("the tower by the sea"));
        // Kept out of cloud sync by its extension, in the proposed Documents folder.
        QCOMPARE(vault.bundlePath, m_env.home() + QStringLiteral("/Documents/Field Notes.nosync"));
        QVERIFY(QFileInfo::exists(vault.bundlePath + QStringLiteral("/Info.plist")));
        QCOMPARE(plistSize(vault.bundlePath), QString::number(10240LL * 1048576));
        QCOMPARE(savedPassword(vault.id), firstPassword);
        QVERIFY(opens(vault.bundlePath, firstPassword));
        // A new vault stays locked; its card offers Unlock.
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QTRY_VERIFY(findItem(card(), QStringLiteral("unlockButton")));
    }

    // The saved password opens the vault; the folder appears in the file manager and takes a file.
    void unlockWithTheSavedPasswordAndWrite()
    {
        const Vault vault = onlyVault();
        click(findItem(card(), QStringLiteral("unlockButton")));
        const QString mountPoint = m_env.home() + QStringLiteral("/Vaults/Field Notes");
        QTRY_VERIFY_WITH_TIMEOUT(fuseMountsBelow(m_env.root()).contains(mountPoint), toolTimeout);
        QTRY_COMPARE(store().mountPoints().value(vault.id), mountPoint);
        QTRY_VERIFY(findItem(card(), QStringLiteral("lockButton")));
        QTRY_COMPARE(m_fileManager.shown, QStringList{QUrl::fromLocalFile(mountPoint).toString()});
        QVERIFY(writeAll(mountPoint + QStringLiteral("/plans.txt"), secret));
        QVERIFY(savedList().first().lastOpenedAt.has_value());
    }

    void lockFromTheCard()
    {
        const Vault vault = onlyVault();
        click(findItem(card(), QStringLiteral("lockButton")));
        QTRY_VERIFY_WITH_TIMEOUT(fuseMountsBelow(m_env.root()).isEmpty(), toolTimeout);
        QTRY_VERIFY(!store().mountPoints().contains(vault.id));
        QTRY_VERIFY(findItem(card(), QStringLiteral("unlockButton")));
        // Only ciphertext reached the disk.
        QVERIFY(!bundleContains(vault.bundlePath, secret.trimmed()));
        QVERIFY(!bundleContains(vault.bundlePath, "plans.txt"));
    }

    // With no saved password (removed in the keyring manager) Unlock asks for it; typed with
    // "Remember" on, it opens the vault and is saved again.
    void unlockWithATypedPassword()
    {
        const Vault vault = onlyVault();
        QCoro::waitFor(Keychain::deletePassword(vault.id));
        QVERIFY(savedPassword(vault.id).isEmpty());
        click(findItem(card(), QStringLiteral("unlockButton")));
        QObject *unlock = sheet("unlockView");
        QVERIFY(waitOpened(unlock));
        QCOMPARE(fieldText(unlock, QStringLiteral("hint")),
                 QStringLiteral("Hint: the tower by the sea"));
        QQuickItem *field = findItem(unlock, QStringLiteral("passwordField"));
        type(field, QStringLiteral("not the password"));
        press(m_window, Qt::Key_Return);
        QObject *alert = sheet("errorAlert");
        QVERIFY(waitOpened(alert));
        QCOMPARE(store().errorMessage().value_or(QString()), QStringLiteral("Wrong password for “Field Notes”."));
        QVERIFY(unlock->property("visible").toBool());
        click(findItem(alert, QStringLiteral("alertButton_OK")));
        QTRY_VERIFY(!store().errorMessage());

        click(findItem(unlock, QStringLiteral("saveToKeychain")));
        type(field, firstPassword);
        press(m_window, Qt::Key_Return);
        QVERIFY(waitClosed(unlock));
        QTRY_VERIFY(store().mountPoints().contains(vault.id));
        QCOMPARE(readAll(store().mountPoints().value(vault.id) + QStringLiteral("/plans.txt")), secret);
        QCOMPARE(savedPassword(vault.id), firstPassword);
        QCOMPARE(field->property("text").toString(), QString());

        click(findItem(card(), QStringLiteral("lockButton")));
        QTRY_VERIFY_WITH_TIMEOUT(fuseMountsBelow(m_env.root()).isEmpty(), toolTimeout);
    }

    // The current password comes from the keyring; the saved one follows the change.
    void changePassword()
    {
        const Vault vault = onlyVault();
        QObject *change = openFromMenu(QStringLiteral("Change Password…"), "changePasswordView");
        QVERIFY(change);
        QQuickItem *oldField = findItem(change, QStringLiteral("oldPasswordField"));
        QTRY_COMPARE(oldField->property("text").toString(), firstPassword);
        type(findItem(change, QStringLiteral("newPasswordField")), secondPassword);
        type(findItem(change, QStringLiteral("confirmField")), secondPassword);
        click(findItem(change, QStringLiteral("mainButton")));
        QVERIFY(waitClosed(change));

        QTRY_COMPARE(savedPassword(vault.id), secondPassword);
        QVERIFY(opens(vault.bundlePath, secondPassword));
        QVERIFY(!opens(vault.bundlePath, firstPassword));
        QCOMPARE(oldField->property("text").toString(), QString());
    }

    // The file and the volume take the new name; the saved password stays with the vault.
    void rename()
    {
        const Vault before = onlyVault();
        QObject *rename = openFromMenu(QStringLiteral("Rename…"), "renameView");
        QVERIFY(rename);
        QTRY_COMPARE(fieldText(rename, QStringLiteral("passwordField")), secondPassword);
        QQuickItem *name = findItem(rename, QStringLiteral("nameField"));
        QCOMPARE(name->property("text").toString(), QStringLiteral("Field Notes"));
        type(name, QStringLiteral("Sea Charts"));
        press(m_window, Qt::Key_Return);
        QVERIFY(waitClosed(rename));

        const Vault after = onlyVault();
        QCOMPARE(after.id, before.id);
        QCOMPARE(after.name, QStringLiteral("Sea Charts"));
        QCOMPARE(after.bundlePath, m_env.home() + QStringLiteral("/Documents/Sea Charts.nosync"));
        QVERIFY(!QFileInfo::exists(before.bundlePath));
        QVERIFY(opens(after.bundlePath, secondPassword));
        QCOMPARE(savedPassword(after.id), secondPassword);
        QTRY_COMPARE(fieldText(card(), QStringLiteral("name")), QStringLiteral("Sea Charts"));
    }

    void resize()
    {
        const Vault vault = onlyVault();
        QObject *resize = openFromMenu(QStringLiteral("Change Size Limit…"), "resizeView");
        QVERIFY(resize);
        QTRY_COMPARE(fieldText(resize, QStringLiteral("passwordField")), secondPassword);
        QQuickItem *size = findItem(resize, QStringLiteral("sizeValue"));
        QCOMPARE(size->property("value").toInt(), 10);
        size->forceActiveFocus();
        press(m_window, Qt::Key_Up);
        press(m_window, Qt::Key_Up);
        QCOMPARE(size->property("value").toInt(), 12);
        click(findItem(resize, QStringLiteral("mainButton")));
        QVERIFY(waitClosed(resize));

        QCOMPARE(onlyVault().maxSizeMB, 12288);
        QCOMPARE(plistSize(vault.bundlePath), QString::number(12288LL * 1048576));
        QVERIFY(opens(vault.bundlePath, secondPassword));
    }

    void verify()
    {
        QObject *verify = openFromMenu(QStringLiteral("Verify Vault…"), "verifyVaultView");
        QVERIFY(verify);
        QTRY_COMPARE(fieldText(verify, QStringLiteral("passwordField")), secondPassword);
        click(findItem(verify, QStringLiteral("mainButton")));
        QTRY_COMPARE_WITH_TIMEOUT(verify->property("resultText").toString(),
                                  QStringLiteral("Vault is healthy — filesystem check passed."), toolTimeout);
        QVERIFY(verify->property("resultOK").toBool());
        QQuickItem *done = findItem(verify, QStringLiteral("cancelButton"));
        QCOMPARE(done->property("text").toString(), QStringLiteral("Done"));
        // Checked invisibly: nothing stays mounted.
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        click(done);
        QVERIFY(waitClosed(verify));
    }

    // After a large file is written and deleted inside, reclaiming gives the space back.
    void reclaimFreeSpace()
    {
        const Vault vault = onlyVault();
        const Outcome<QString> attached = awaitTask(DiskImage::attach(vault.bundlePath, secondPassword, true));
        QVERIFY(attached.value);
        const QString mountPoint = *attached.value;
        QVERIFY(writeAll(mountPoint + QStringLiteral("/scratch.bin"), QByteArray(24 << 20, 'x')));
        QVERIFY(QFile::remove(mountPoint + QStringLiteral("/scratch.bin")));
        QVERIFY(awaitTask(DiskImage::detach(mountPoint, false)).done);
        const qint64 grown = diskUsageBytes(vault.bundlePath);
        QVERIFY2(grown > (20 << 20), qPrintable(QString::number(grown)));

        QObject *compact = openFromMenu(QStringLiteral("Reclaim Free Space…"), "passwordActionView");
        QVERIFY(compact);
        QTRY_COMPARE(fieldText(compact, QStringLiteral("passwordField")), secondPassword);
        click(findItem(compact, QStringLiteral("mainButton")));
        QVERIFY(waitClosed(compact));

        const qint64 reclaimed = diskUsageBytes(vault.bundlePath);
        QVERIFY2(reclaimed < grown - (16 << 20), qPrintable(u"%1 → %2"_qs.arg(grown).arg(reclaimed)));
        QVERIFY(opens(vault.bundlePath, secondPassword));
    }

    // A wrong password moves nothing; the right one sends the file to the Trash and forgets it.
    void moveToTrash()
    {
        const Vault vault = onlyVault();
        QObject *trash = openFromMenu(QStringLiteral("Move Vault to Trash…"), "deleteVaultView");
        QVERIFY(trash);
        QQuickItem *field = findItem(trash, QStringLiteral("passwordField"));
        QTRY_COMPARE(field->property("text").toString(), secondPassword);
        type(field, firstPassword);
        click(findItem(trash, QStringLiteral("mainButton")));
        QTRY_COMPARE_WITH_TIMEOUT(trash->property("errorText").toString(),
                                  QStringLiteral("Wrong password — the vault was not deleted."), toolTimeout);
        QVERIFY(QFileInfo::exists(vault.bundlePath));
        QCOMPARE(savedList().size(), 1);

        type(field, secondPassword);
        click(findItem(trash, QStringLiteral("mainButton")));
        QVERIFY(waitClosed(trash));

        const QString trashed = m_env.data() + QStringLiteral("/Trash/files/Sea Charts.nosync");
        QVERIFY(QFileInfo::exists(trashed + QStringLiteral("/Info.plist")));
        QVERIFY(QFileInfo::exists(m_env.data() + QStringLiteral("/Trash/info/Sea Charts.nosync.trashinfo")));
        QVERIFY(!QFileInfo::exists(vault.bundlePath));
        QVERIFY(savedList().isEmpty());
        QVERIFY(savedPassword(vault.id).isEmpty());
        QTRY_VERIFY(findItem(m_window, QStringLiteral("emptyState")));
        // Still the same encrypted vault, recoverable from the Trash.
        QVERIFY(opens(trashed, secondPassword));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"

// The whole program driven like a user, on a real X server: the application's main window and
// sheets, the real disk-image tools on FUSE, a real Secret Service on a private D-Bus session. After
// every step the test looks at what is on disk, in the keyring and in the vault list.

#include "FakeTools.h"
#include "StoreHarness.h"
#include "WindowDriver.h"
#include "app/HollowkeepApp.h"
#include "diskimage/DiskImage.h"
#include "platform/SettingsKeys.h"
#include "platform/Keychain.h"
#include "platform/PanicHotKey.h"
#include "platform/TaskbarPresence.h"
#include "platform/UserDefaults.h"
#include "ui/AppWindows.h"
#include "store/VaultList.h"
#include "ui/FolderChooser.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFileDialog>
#include <QLineEdit>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

using namespace Qt::Literals::StringLiterals;
using namespace WindowDriver;

namespace {

constexpr int toolTimeout = 60000;
const QString firstPassword = u"lighthouse keeper 1"_s;
const QString otherPassword = u"harbour pilot 22"_s;
const QByteArray secret = "Meet at the old lighthouse at dawn.\n";

// The desktop's file chooser portal, answering every request with one folder as a user would.
class ChoosingPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")
    Q_PROPERTY(uint version MEMBER version)

public:
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"portal"_s);
    QString answer;
    QVariantMap options;
    uint version = 4; // 4 and up open on a folder asked for

    bool registerOnBus()
    {
        return bus.registerObject(u"/org/freedesktop/portal/desktop"_s, this,
                                  QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
               bus.registerService(u"org.freedesktop.portal.Desktop"_s);
    }

public Q_SLOTS:
    QDBusObjectPath OpenFile(const QString &, const QString &, const QVariantMap &requested,
                             const QDBusMessage &message)
    {
        options = requested;
        return answerPortalRequest(bus, this, message, requested,
                                   {{u"uris"_s, QStringList{QUrl::fromLocalFile(answer).toString()}}});
    }
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    RecordingFileManager m_fileManager;
    ChoosingPortal m_portal;
    QPointer<QFileDialog> m_dialog;
    std::unique_ptr<HollowkeepApp> m_app;
    QQuickWindow *m_window = nullptr;
    bool m_stepFailed = false;

    static VaultStore &store() { return VaultStore::shared(); }
    // The list as saved on disk, not as the store holds it.
    static QList<Vault> savedList() { return VaultList::load(store().storeURL()); }

    QObject *sheet(const char *name) const { return m_window->findChild<QObject *>(QLatin1String(name)); }
    QQuickItem *card() const { return findItem(m_window, u"vaultCard"_s); }
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
    // Answers the file chooser Qt shows (no portal runs) with a folder, the way a user pastes a
    // path into its name field and presses Return.
    bool chooseInDialog(const QString &folder)
    {
        if (!QTest::qWaitFor([this] { return m_dialog && m_dialog->isVisible(); }, 10000))
            return false;
        auto *name = m_dialog->findChild<QLineEdit *>(u"fileNameEdit"_s);
        if (!name)
            return false;
        name->setFocus();
        name->setText(folder);
        QTest::keyClick(name, Qt::Key_Return);
        return QTest::qWaitFor([this] { return !m_dialog || !m_dialog->isVisible(); });
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
        connect(&FolderChooser::shared(), &FolderChooser::dialogShown, this,
                [this](QObject *shown) { m_dialog = qobject_cast<QFileDialog *>(shown); });
        QDir().mkpath(m_env.home() + u"/Documents"_s);
        m_app = std::make_unique<HollowkeepApp>();
        QVERIFY(m_app->start());
        m_window = m_app->mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        // Keyboard shortcuts go to the window that has the focus, as on a desktop.
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QCOMPARE(QGuiApplication::platformName(), u"xcb"_s);
    }
    void cleanupTestCase()
    {
        if (m_app)
            QCoro::waitFor(store().lockAll(true, u"quit"_s));
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
        click(findItem(m_window, u"createFirstButton"_s));
        QObject *create = sheet("createVaultView");
        QVERIFY(waitOpened(create));
        QQuickItem *createButton = findItem(create, u"createButton"_s);
        type(findItem(create, u"nameField"_s), u"Field Notes"_s);
        type(findItem(create, u"passwordField"_s), firstPassword);
        QVERIFY(!createButton->isEnabled());
        type(findItem(create, u"confirmField"_s), firstPassword);
        type(findItem(create, u"hintField"_s), u"the tower by the sea"_s);
        QVERIFY(findItem(create, u"saveToKeychain"_s)->property("checked").toBool());
        QVERIFY(createButton->isEnabled());
        // Somewhere else than the proposed Documents folder, picked in the file chooser.
        QVERIFY(QDir().mkpath(m_env.home() + u"/Private"_s));
        click(findItem(create, u"chooseFolderButton"_s));
        QVERIFY(chooseInDialog(m_env.home() + u"/Private"_s));
        QTRY_VERIFY(fieldText(create, u"directoryLabel"_s).endsWith(u"/home/Private"_s));
        click(createButton);
        QVERIFY(waitClosed(create));

        const Vault vault = onlyVault();
        QCOMPARE(vault.name, u"Field Notes"_s);
        QCOMPARE(vault.maxSizeMB, 10240);
        QCOMPARE(vault.passwordHint, u"the tower by the sea"_s);
        // Kept out of cloud sync by its extension, in the folder chosen.
        QCOMPARE(vault.bundlePath, m_env.home() + u"/Private/Field Notes.nosync"_s);
        QVERIFY(QFileInfo::exists(vault.bundlePath + u"/Info.plist"_s));
        QCOMPARE(savedPassword(vault.id), firstPassword);
        // A new vault stays locked; its card offers Unlock.
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
        QTRY_VERIFY(findItem(card(), u"unlockButton"_s));
        // The next new vault is proposed in the folder this one went to.
        click(findItem(m_window, u"newVaultButton"_s));
        QVERIFY(waitOpened(create));
        QTRY_VERIFY(fieldText(create, u"directoryLabel"_s).endsWith(u"/home/Private"_s));
        press(m_window, Qt::Key_Escape);
        QVERIFY(waitClosed(create));
    }

    // The saved password opens the vault; the folder appears in the file manager and takes a file.
    void unlockWithTheSavedPasswordAndWrite()
    {
        const Vault vault = onlyVault();
        click(findItem(card(), u"unlockButton"_s));
        const QString mountPoint = m_env.home() + u"/Vaults/Field Notes"_s;
        QTRY_VERIFY_WITH_TIMEOUT(fuseMountsBelow(m_env.root()).contains(mountPoint), toolTimeout);
        QTRY_VERIFY(findItem(card(), u"lockButton"_s));
        QTRY_COMPARE(m_fileManager.shown, QStringList{QUrl::fromLocalFile(mountPoint).toString()});
        QVERIFY(writeAll(mountPoint + u"/plans.txt"_s, secret));
    }

    void lockFromTheCard()
    {
        const Vault vault = onlyVault();
        click(findItem(card(), u"lockButton"_s));
        QTRY_VERIFY_WITH_TIMEOUT(fuseMountsBelow(m_env.root()).isEmpty(), toolTimeout);
        QTRY_VERIFY(!store().mountPoints().contains(vault.id));
        QTRY_VERIFY(findItem(card(), u"unlockButton"_s));
        // Only ciphertext reached the disk.
        QVERIFY(filesContaining(vault.bundlePath, secret.trimmed()).isEmpty());
        QVERIFY(filesContaining(vault.bundlePath, "plans.txt").isEmpty());
    }

    // With no saved password (removed in the keyring manager) Unlock asks for it; typed with
    // "Remember" on, it opens the vault and is saved again. (A wrong one is refused in the
    // stand-alone unlock window's test, which shows the same view.)
    void unlockWithATypedPassword()
    {
        const Vault vault = onlyVault();
        QCoro::waitFor(Keychain::deletePassword(vault.id));
        QVERIFY(!savedPassword(vault.id));
        click(findItem(card(), u"unlockButton"_s));
        QObject *unlock = sheet("unlockView");
        QVERIFY(waitOpened(unlock));
        QCOMPARE(fieldText(unlock, u"hint"_s), u"Hint: the tower by the sea"_s);
        QQuickItem *field = findItem(unlock, u"passwordField"_s);
        click(findItem(unlock, u"saveToKeychain"_s));
        type(field, firstPassword);
        press(m_window, Qt::Key_Return);
        QVERIFY(waitClosed(unlock));
        QTRY_VERIFY(store().mountPoints().contains(vault.id));
        QCOMPARE(readAll(store().mountPoints().value(vault.id) + u"/plans.txt"_s), secret);
        QCOMPARE(savedPassword(vault.id), firstPassword);
        QCOMPARE(field->property("text").toString(), QString());

        // A press of the panic shortcut, as the desktop reports it, locks it.
        Q_EMIT PanicHotKey::presses().pressed();
        QTRY_VERIFY_WITH_TIMEOUT(fuseMountsBelow(m_env.root()).isEmpty(), toolTimeout);
        QTRY_COMPARE(store().activity().first().text, u"Field Notes locked (panic shortcut)"_s);
    }

    // Tab reaches every control of the window and of a sheet, each showing that it has the focus.
    void keyboardReachesEveryControl()
    {
        QTRY_VERIFY(findItem(card(), u"unlockButton"_s));
        QStringList visited;
        const auto tabUntil = [this, &visited](const QString &name) {
            for (int i = 0; i < 12; ++i) {
                press(m_window, Qt::Key_Tab);
                QQuickItem *focused = m_window->activeFocusItem();
                visited << (focused ? focused->objectName() : u"(none)"_s);
                if (focused && focused->objectName() == name)
                    return focusRingShown(focused);
            }
            return false;
        };
        for (const QString &control : {u"newVaultButton"_s, u"vaultCard"_s, u"unlockButton"_s})
            QVERIFY2(tabUntil(control), qPrintable(visited.join(u", "_s)));
        QObject *verify = openFromMenu(u"Verify Vault…"_s, "verifyVaultView");
        QVERIFY(verify);
        QTRY_VERIFY(findItem(verify, u"passwordField"_s)->hasActiveFocus());
        QTRY_COMPARE(fieldText(verify, u"passwordField"_s), firstPassword);
        for (const QString &control : {u"cancelButton"_s, u"mainButton"_s})
            QVERIFY2(tabUntil(control), qPrintable(visited.join(u", "_s)));
        press(m_window, Qt::Key_Escape);
        QVERIFY(waitClosed(verify));
    }

    // A vault file moved in the file manager: the card says so at once, and Locate finds it through
    // the file chooser (here Qt's own dialog: no portal runs yet).
    void locateAMovedVault()
    {
        const Vault vault = onlyVault();
        const QString moved = m_env.home() + u"/Elsewhere/Field Notes.nosync"_s;
        QVERIFY(QDir().mkpath(m_env.home() + u"/Elsewhere"_s));
        QVERIFY(QDir().rename(vault.bundlePath, moved));
        QTRY_VERIFY(findItem(card(), u"locateButton"_s));
        click(findItem(card(), u"locateButton"_s));
        QVERIFY(chooseInDialog(moved));
        QTRY_COMPARE(onlyVault().bundlePath, moved);
        QCOMPARE(onlyVault().id, vault.id);
        QTRY_VERIFY(findItem(card(), u"unlockButton"_s));
    }

    // "Add to Vault" under a window manager grows when it asks for a password: its buttons stay
    // whole in the window.
    void addToVaultGrowsWithItsContent()
    {
        const Vault vault = onlyVault();
        QCoro::waitFor(Keychain::deletePassword(vault.id));
        const auto restore = qScopeGuard([&] { QCoro::waitFor(Keychain::savePassword(firstPassword, vault.id)); });
        AppWindows::shared().showImport({m_env.home() + u"/Documents"_s});
        QQuickWindow *window = AppWindows::shared().window(u"ImportWindow"_s);
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        QTRY_VERIFY(findItem(window, u"passwordField"_s) && findItem(window, u"passwordField"_s)->isVisible());
        QQuickItem *cancel = findItem(window, u"cancelButton"_s);
        QTRY_VERIFY2(cancel->mapToScene({0, cancel->height()}).y() <= window->height(),
                     qPrintable(u"the buttons end at %1 in a window %2 high"_s.arg(
                         cancel->mapToScene({0, cancel->height()}).y()).arg(window->height())));
        window->close();
    }

    // A wrong password moves nothing; the right one sends the file to the Trash and forgets it.
    void moveToTrash()
    {
        const Vault vault = onlyVault();
        QObject *trash = openFromMenu(u"Move Vault to Trash…"_s, "deleteVaultView");
        QVERIFY(trash);
        QQuickItem *field = findItem(trash, u"passwordField"_s);
        QTRY_COMPARE(field->property("text").toString(), firstPassword);
        type(field, otherPassword);
        click(findItem(trash, u"mainButton"_s));
        QTRY_COMPARE_WITH_TIMEOUT(trash->property("errorText").toString(),
                                  u"Wrong password — the vault was not deleted."_s, toolTimeout);
        QVERIFY(QFileInfo::exists(vault.bundlePath));
        QCOMPARE(savedList().size(), 1);

        type(field, firstPassword);
        click(findItem(trash, u"mainButton"_s));
        QVERIFY(waitClosed(trash));

        const QString trashed = m_env.data() + u"/Trash/files/Field Notes.nosync"_s;
        QVERIFY(!QFileInfo::exists(vault.bundlePath));
        QVERIFY(savedList().isEmpty());
        QVERIFY(!savedPassword(vault.id));
        QTRY_VERIFY(findItem(m_window, u"emptyState"_s));
        // Still the same encrypted vault, recoverable from the Trash.
        const Awaited<void> opened = awaitTask(DiskImage::verifyPassword(trashed, firstPassword));
        QVERIFY(opened.done && !opened.error);
    }

    // Back from the Trash: "Add Existing Vault…" of the New Vault menu, through the desktop's file
    // chooser portal.
    void addAnExistingVaultThroughThePortal()
    {
        m_portal.answer = m_env.data() + u"/Trash/files/Field Notes.nosync"_s;
        QVERIFY(m_portal.registerOnBus());
        const auto chooseAddExisting = [this] {
            click(findItem(m_window, u"newVaultChevron"_s));
            QQuickItem *entry = nullptr;
            QTRY_VERIFY((entry = findItem(m_window, u"addExistingItem"_s)) != nullptr);
            QVERIFY(!sheet("createVaultView")->property("visible").toBool());
            click(entry);
        };
        // A portal too old to open on a folder leaves the choice to a dialog that opens there.
        m_portal.version = 3;
        chooseAddExisting();
        QTRY_VERIFY(m_dialog && m_dialog->isVisible());
        QCOMPARE(m_dialog->directory().absolutePath(), m_env.home() + u"/Documents"_s);
        QVERIFY(m_portal.options.isEmpty());
        m_dialog->reject();
        QTRY_VERIFY(!m_dialog || !m_dialog->isVisible());

        m_portal.version = 4;
        chooseAddExisting();
        QTRY_COMPARE(savedList().size(), 1);
        QCOMPARE(savedList().first().bundlePath, m_portal.answer);
        QCOMPARE(m_portal.options.value(u"directory"_s).toBool(), true);
        QCOMPARE(m_portal.options.value(u"current_folder"_s).toByteArray(),
                 QFile::encodeName(m_env.home() + u"/Documents"_s) + '\0');
        QTRY_VERIFY(findItem(card(), u"unlockButton"_s));
    }

    // The desktop switches to dark while the window is open: the window follows at once.
    void followsTheDesktopColourScheme()
    {
        const QColor light = m_window->color();
        const auto schemeChanged = [this](uint scheme) {
            QDBusMessage changed = QDBusMessage::createSignal(u"/org/freedesktop/portal/desktop"_s,
                                                              u"org.freedesktop.portal.Settings"_s,
                                                              u"SettingChanged"_s);
            changed << u"org.freedesktop.appearance"_s << u"color-scheme"_s
                    << QVariant::fromValue(QDBusVariant(scheme));
            return m_portal.bus.send(changed);
        };
        QVERIFY(schemeChanged(1));
        QTRY_VERIFY(m_window->color().lightness() < 60);
        QVERIFY(schemeChanged(0));
        QTRY_COMPARE(m_window->color(), light);

        // A design with a scheme of its own keeps it to the main window: Settings follows the
        // desktop.
        UserDefaults::standard().setValue(SettingsKeys::appTheme, u"nightWatch"_s);
        QTRY_VERIFY(m_window->color().lightness() < 60);
        QTest::keyClick(m_window, Qt::Key_Comma, Qt::ControlModifier);
        QQuickWindow *settings = nullptr;
        QTRY_VERIFY((settings = AppWindows::shared().window(u"SettingsWindow"_s)) && settings->isVisible());
        QCOMPARE(settings->color(), light);
        QVERIFY(schemeChanged(1));
        QTRY_VERIFY(settings->color().lightness() < 60);
        QVERIFY(schemeChanged(0));
        QTRY_COMPARE(settings->color(), light);
        QVERIFY(m_window->color().lightness() < 60);
        press(settings, Qt::Key_Escape);
        QTRY_VERIFY(!settings->isVisible());
        UserDefaults::standard().setValue(SettingsKeys::appTheme, u"classic"_s);
        QTRY_COMPARE(m_window->color(), light);
    }

    // Ctrl+, opens the settings in front. Hidden from the taskbar, the main window stays on screen,
    // the window manager stops listing it and the tray item is on; back in the taskbar, it is
    // listed again. A window hidden before it first appears is never listed.
    void settingsAndTheTaskbar()
    {
        QTest::keyClick(m_window, Qt::Key_Comma, Qt::ControlModifier);
        QQuickWindow *settings = nullptr;
        QTRY_VERIFY((settings = AppWindows::shared().window(u"SettingsWindow"_s)) && settings->isActive());
        QCOMPARE(settings->property("view").value<QQuickItem *>()->width(), 440.0);
        click(findItem(settings, u"hideDockIcon"_s));
        QTRY_VERIFY(TaskbarPresence::isHidden(m_window));
        QVERIFY(m_window->isVisible());
        QVERIFY(UserDefaults::standard().boolValue(SettingsKeys::menuBarIcon));
        click(findItem(settings, u"hideDockIcon"_s));
        QTRY_VERIFY(!TaskbarPresence::isHidden(m_window));
        // The switch leaves the window where the user works.
        QVERIFY(settings->isActive());
        // Made small, scrolled down and closed, it opens again at the top.
        settings->resize(settings->width(), 300);
        QTRY_COMPARE(settings->height(), 300);
        QTRY_VERIFY(QMetaObject::invokeMethod(settings, "scrollToEnd") &&
                    settings->property("scrollPosition").toReal() > 0);
        press(settings, Qt::Key_Escape);
        QTRY_VERIFY(!settings->isVisible());
        QTest::keyClick(m_window, Qt::Key_Comma, Qt::ControlModifier);
        QTRY_VERIFY(settings->isVisible() && settings->isActive());
        QCOMPARE(settings->property("scrollPosition").toReal(), 0.0);
        press(settings, Qt::Key_Escape);
        QTRY_VERIFY(!settings->isVisible());

        QWindow unlisted;
        TaskbarPresence::setHidden(&unlisted, true);
        unlisted.show();
        QVERIFY(QTest::qWaitForWindowExposed(&unlisted));
        QVERIFY(TaskbarPresence::isHidden(&unlisted));
    }

    // No tray shows the item here: closing the window would leave nothing on screen, so the window
    // goes to the taskbar instead.
    void closingWithoutATrayMinimises()
    {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        m_window->close();
        QTRY_VERIFY(m_window->windowStates() & Qt::WindowMinimized);
        QVERIFY(m_window->isVisible());
        m_window->showNormal();
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"

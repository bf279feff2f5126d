// Renders the main window in its states to PNG files, with real vaults made by the real tools in a
// private home: the empty state, a list showing each card state, the context menu, the removal
// confirmation, the moved-file and waiting-for-disk dialogs, every sheet (as it opens, filled in,
// with its message, working) and the stand-alone unlock window.
//
//   scripts/render-screenshots.sh    (writes docs/screenshots/*.png)

#include "platform/AppPaths.h"
#include "platform/ColorScheme.h"
#include "platform/Timestamp.h"
#include "store/VaultStore.h"
#include "platform/Keychain.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "ui/AppWindows.h"
#include "ui/FileDialogs.h"
#include "ui/ImportController.h"
#include "ui/SettingsActions.h"
#include "ui/TrayItem.h"
#include "ui/UnlockPromptWindow.h"
#include "ui/VaultActions.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>
#include <functional>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

namespace {

const QByteArray password = "screenshot-pass";

QString tool(const QString &name)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../libexec/hollowkeep/") + name;
}

QByteArray runTool(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(tool(QStringLiteral("hdiutil")), arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(-1);
    return process.readAllStandardOutput();
}

QString mountPointOf(const QByteArray &plist)
{
    const qsizetype key = plist.indexOf("<key>mount-point</key>");
    const qsizetype start = plist.indexOf("<string>", key) + 8;
    return QString::fromUtf8(plist.mid(start, plist.indexOf("</string>", start) - start));
}

Vault makeVault(const QString &name, int sizeMB, int fillMB)
{
    Vault vault;
    vault.id = QUuid::createUuid();
    vault.name = name;
    vault.bundlePath =
        QDir::homePath() + QStringLiteral("/Documents/") + name + QStringLiteral(".sparsebundle");
    vault.maxSizeMB = sizeMB;
    vault.createdAt = Timestamp::now();
    vault.openInFinderAfterUnlock = false;
    QDir().mkpath(QDir::homePath() + QStringLiteral("/Documents"));
    runTool({QStringLiteral("create"), QStringLiteral("-stdinpass"), QStringLiteral("-size"),
             QStringLiteral("%1m").arg(sizeMB), QStringLiteral("-volname"), name, vault.bundlePath},
            password);
    if (fillMB > 0) {
        const QString mountPoint = mountPointOf(runTool({QStringLiteral("attach"), QStringLiteral("-plist"),
                                                         QStringLiteral("-stdinpass"), vault.bundlePath},
                                                        password));
        QFile file(mountPoint + QStringLiteral("/data.bin"));
        file.open(QIODevice::WriteOnly);
        QByteArray chunk(1024 * 1024, 'x');
        for (int i = 0; i < fillMB; ++i)
            chunk[i] = char(i), file.write(chunk);
        file.close();
        runTool({QStringLiteral("detach"), mountPoint});
    }
    return vault;
}

void settle(int ms = 400)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Items of the visual tree with an object name (list delegates have no QObject parent).
QList<QQuickItem *> visualItemsNamed(QQuickItem *root, const QString &name)
{
    QList<QQuickItem *> found;
    for (QQuickItem *child : root->childItems()) {
        if (child->objectName() == name)
            found << child;
        found << visualItemsNamed(child, name);
    }
    return found;
}

// "-dark" when the windows are drawn in the dark scheme.
QString suffix;

bool save(QQuickWindow *window, const QString &folder, const QString &name, int settleMs = 400)
{
    settle(settleMs);
    const QImage image = window->grabWindow();
    const bool saved = image.save(folder + QLatin1Char('/') + name + suffix + QStringLiteral(".png"));
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(name));
    return saved;
}

// Sets text fields of a sheet, found by object name.
void fill(QObject *sheet, const QList<std::pair<const char *, QString>> &fields)
{
    for (const auto &[field, text] : fields) {
        QObject *input = sheet->findChild<QObject *>(QLatin1String(field));
        if (!input)
            continue;
        // The size field takes a number in its unit and clamps it.
        if (input->metaObject()->indexOfMethod("push()") >= 0) {
            input->setProperty("value", text.toInt());
            QMetaObject::invokeMethod(input, "push");
        } else {
            input->setProperty("text", text);
        }
    }
}

void waitUntil(const std::function<bool()> &done, int timeoutMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        settle(50);
}

// A sheet's screenshots: how it is opened, what filling it in types, what makes it show its
// message, which of its functions runs it, and the flag that marks it working (none: no such state).
struct SheetShots
{
    const char *name;
    const char *objectName;
    std::function<void()> open;
    QList<std::pair<const char *, QString>> filled;
    QList<std::pair<const char *, QString>> message;
    QString run;
    const char *workingFlag;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString output = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    // "dark" as the second argument draws everything as on a desktop that prefers dark windows.
    if (argc > 2 && qstrcmp(argv[2], "dark") == 0) {
        ColorScheme::shared().setOverride(true);
        suffix = QStringLiteral("-dark");
    } else {
        ColorScheme::shared().setOverride(false);
    }
    QDir().mkpath(output);
    SettingsKeys::registerDefaults(UserDefaults::standard());
    VaultStore &store = VaultStore::shared();
    store.setFileDialogs(&FileDialogs::shared());

    QQmlApplicationEngine engine;
    engine.load(QUrl(QStringLiteral("qrc:/org/hollowkeep/Main.qml")));
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (!window)
        return 1;
    window->show();
    bool ok = save(window, output, QStringLiteral("empty-state"));
    // Another design, at its own window size: the same store drawn its way.
    const auto saveDesign = [&](const char *design, const QString &name) {
        // These designs fix their own colour scheme: one picture each.
        if (!suffix.isEmpty())
            return true;
        UserDefaults::standard().setValue(SettingsKeys::appTheme, QString::fromLatin1(design));
        const bool saved = save(window, output, name);
        UserDefaults::standard().setValue(SettingsKeys::appTheme, QStringLiteral("classic"));
        settle(200);
        return saved;
    };
    ok = saveDesign("nativePro", QStringLiteral("home-nativePro-empty")) && ok;
    ok = saveDesign("softFocus", QStringLiteral("home-softFocus-empty")) && ok;
    ok = saveDesign("nightWatch", QStringLiteral("home-nightWatch-empty")) && ok;

    // One vault per state a card can show.
    QList<Vault> vaults;
    Vault taxes = makeVault(QStringLiteral("Tax Papers"), 1024, 12);
    taxes.lastOpenedAt = Timestamp::now().addSeconds(-2 * 86400);
    taxes.requireTouchID = true;
    Vault photos = makeVault(QStringLiteral("Family Photos"), 10240, 0);
    photos.excludedFromCloud = true;
    Vault work = makeVault(QStringLiteral("Work Projects"), 2048, 0);
    // Locked vaults count their size on disk against the limit on record.
    Vault nearly = makeVault(QStringLiteral("Receipts 2025"), 64, 57);
    nearly.maxSizeMB = 62;
    Vault brimming = makeVault(QStringLiteral("Scans"), 64, 57);
    brimming.maxSizeMB = 60;
    brimming.passwordHint = QStringLiteral("the usual, twice");
    Vault moved = taxes;
    moved.id = QUuid::createUuid();
    moved.name = QStringLiteral("Old Backup");
    moved.bundlePath = QDir::homePath() + QStringLiteral("/Documents/Old Backup.sparsebundle");
    Vault travel = moved;
    travel.id = QUuid::createUuid();
    travel.name = QStringLiteral("Travel Disk");
    travel.bundlePath = QStringLiteral("/Volumes/Travel/Travel Disk.sparsebundle");
    travel.lastOpenedAt.reset();
    vaults << taxes << photos << work << nearly << brimming << moved << travel;
    store.setVaults(vaults);
    store.save();
    QCoro::waitFor(store.unlock(photos, QString::fromUtf8(password), false, QStringLiteral("password")));
    QCoro::waitFor(store.refresh());
    // Grabbed while the unlock of "Work Projects" runs.
    auto pending = store.unlock(work, QString::fromUtf8(password), false, QStringLiteral("password"));
    ok = save(window, output, QStringLiteral("vault-list"), 30) && ok;
    ok = saveDesign("nativePro", QStringLiteral("home-nativePro")) && ok;
    ok = saveDesign("softFocus", QStringLiteral("home-softFocus")) && ok;
    ok = saveDesign("nightWatch", QStringLiteral("home-nightWatch")) && ok;
    QCoro::waitFor(pending);
    QCoro::waitFor(store.lock(work, true, QStringLiteral("manual")));

    // The tray: the compact panel in each design's accent, and the plain menu.
    TrayItem::shared().start(&engine, [window] { return window; }, [] {});
    for (const char *design : {"classic", "nativePro", "nightWatch", "softFocus"}) {
        UserDefaults::standard().setValue(SettingsKeys::appTheme, QString::fromLatin1(design));
        TrayItem::shared().togglePanel();
        if (QQuickWindow *panel = TrayItem::shared().panel())
            ok = save(panel, output, QStringLiteral("tray-panel-") + QLatin1String(design)) && ok;
        TrayItem::shared().hidePanel();
    }
    UserDefaults::standard().setValue(SettingsKeys::appTheme, QStringLiteral("classic"));
    {
        QMenu *menu = TrayItem::shared().content()->menu();
        menu->popup(QPoint(0, 0));
        settle(300);
        const bool saved = menu->grab().save(output + QStringLiteral("/tray-menu") + suffix + QStringLiteral(".png"));
        std::printf("%s tray-menu\n", saved ? "wrote" : "FAILED");
        ok = saved && ok;
        menu->hide();
    }

    // The settings window: its defaults (keyboard focus on the first control), hidden from the
    // taskbar, a launch-at-login failure and the result of a check; About and What's New.
    AppWindows::shared().setEngine(&engine);
    AppWindows::shared().show(QStringLiteral("SettingsWindow"));
    if (QQuickWindow *settings = AppWindows::shared().window(QStringLiteral("SettingsWindow"))) {
        const auto shot = [&](const QString &name) {
            settle(300);
            QMetaObject::invokeMethod(settings, "scrollToEnd");
            return save(settings, output, name);
        };
        settle(300);
        QMetaObject::invokeMethod(settings, "focusFirst", Q_ARG(QVariant, int(Qt::TabFocusReason)));
        ok = save(settings, output, QStringLiteral("settings")) && ok;
        UserDefaults::standard().setValues({{SettingsKeys::hideDockIcon, true}, {SettingsKeys::menuBarIcon, true}});
        ok = shot(QStringLiteral("settings-tray-only")) && ok;
        UserDefaults::standard().setValue(SettingsKeys::hideDockIcon, false);
        // A file where the autostart folder belongs: the entry cannot be written.
        const QString autostart = AppPaths::configHome() + QStringLiteral("/autostart");
        QDir(autostart).removeRecursively();
        QFile(autostart).open(QIODevice::WriteOnly);
        SettingsActions::shared().setLaunchAtLogin(true);
        ok = shot(QStringLiteral("settings-login-failure")) && ok;
        QFile::remove(autostart);
        SettingsActions::shared().reload();
        SettingsActions::shared().checkNow();
        waitUntil([] { return !SettingsActions::shared().checkingUpdate(); });
        ok = shot(QStringLiteral("settings-update-result")) && ok;
        settings->close();
    }
    for (const char *name : {"AboutWindow", "ChangelogWindow"}) {
        AppWindows::shared().show(QLatin1String(name));
        if (QQuickWindow *shown = AppWindows::shared().window(QLatin1String(name)))
            ok = save(shown, output, QLatin1String(name) == QLatin1String("AboutWindow") ? QStringLiteral("about")
                                                                                       : QStringLiteral("whats-new")) && ok;
    }

    // Add to Vault: a locked vault asks for its password; copying into an unlocked one; the
    // result; a failure.
    {
        const QString from = QDir::homePath() + QStringLiteral("/Downloads");
        QDir().mkpath(from + QStringLiteral("/Scans 2025"));
        QFile report(from + QStringLiteral("/Report.pdf"));
        report.open(QIODevice::WriteOnly);
        report.write(QByteArray(200000, 'r'));
        report.close();
        QFile big(from + QStringLiteral("/Holiday Video.mkv"));
        big.open(QIODevice::WriteOnly);
        for (int i = 0; i < 400; ++i)
            big.write(QByteArray(1 << 20, char(i)));
        big.close();
        const auto importWindow = [&](const QStringList &files, const Vault &into) {
            AppWindows::shared().showImport(files);
            QQuickWindow *shown = AppWindows::shared().window(QStringLiteral("ImportWindow"));
            shown->setProperty("selectedVaultId", into.idText());
            settle(300);
            return shown;
        };
        QQuickWindow *importing = importWindow({report.fileName(), from + QStringLiteral("/Scans 2025")}, work);
        ok = save(importing, output, QStringLiteral("import-window")) && ok;
        importing = importWindow({big.fileName()}, photos);
        // The result shows for 1.2 s: it is grabbed the moment it appears.
        auto *controller = importing->findChild<ImportController *>();
        bool grabbedResult = false;
        QObject::connect(controller, &ImportController::resultMessageChanged, importing, [&] {
            grabbedResult = save(importing, output, QStringLiteral("import-window-done"), 0);
        });
        QMetaObject::invokeMethod(importing, "runImport", Q_ARG(QVariant, false));
        ok = save(importing, output, QStringLiteral("import-window-copying"), 250) && ok;
        waitUntil([&] { return !importing->isVisible(); });
        ok = grabbedResult && ok;
        importing = importWindow({from + QStringLiteral("/Notes.txt")}, photos);
        QMetaObject::invokeMethod(importing, "runImport", Q_ARG(QVariant, false));
        waitUntil([] { return VaultStore::shared().errorMessage().has_value(); });
        ok = save(importing, output, QStringLiteral("import-window-failed")) && ok;
        store.setErrorMessage(std::nullopt);
        importing->close();
    }

    // The context menu of a locked vault.
    QObject *openedMenu = nullptr;
    for (QQuickItem *card : visualItemsNamed(window->contentItem(), QStringLiteral("vaultCard"))) {
        if (card->property("vaultId").toString() == taxes.idText()) {
            QMetaObject::invokeMethod(card, "openMenu", Q_ARG(QVariant, card->width() - 250),
                                      Q_ARG(QVariant, 30));
            openedMenu = card->findChild<QObject *>(QStringLiteral("contextMenu"));
        }
    }
    ok = save(window, output, QStringLiteral("context-menu")) && ok;
    if (openedMenu)
        QMetaObject::invokeMethod(openedMenu, "close");

    VaultActions::shared().forget(taxes.idText());
    // Owner authentication comes first for this vault; answer it as given.
    settle(200);
    VaultActions::shared().trash(moved.idText());
    ok = save(window, output, QStringLiteral("forget-alert")) && ok;
    QMetaObject::invokeMethod(window, "closeAllPopups");

    VaultActions::shared().revealFile(moved.idText());
    ok = save(window, output, QStringLiteral("moved-file-dialog")) && ok;
    QMetaObject::invokeMethod(window, "closeAllPopups");
    VaultActions::shared().revealFile(travel.idText());
    ok = save(window, output, QStringLiteral("waiting-for-disk-dialog")) && ok;
    QMetaObject::invokeMethod(window, "closeAllPopups");

    // Every sheet as it opens, filled in, showing its message (a real refusal or verdict from the
    // real tools) and working.
    QObject *content = window->findChild<QObject *>(QStringLiteral("content"));
    QCoro::waitFor(Keychain::savePassword(QString::fromUtf8(password), photos.id));
    const QString wrong = QStringLiteral("not-the-password");
    const QString typed = QString::fromUtf8(password);
    const QList<SheetShots> sheets{
        {"create", "createVaultView", [&] { content->setProperty("showingCreate", true); },
         {{"nameField", "Letters"}, {"passwordField", typed}, {"confirmField", typed},
          {"hintField", QStringLiteral("first pet, twice")}},
         {{"confirmField", QStringLiteral("screenshot-pas")}}, QString(), "creating"},
        {"unlock", "unlockView", [&] { VaultActions::shared().usePassword(brimming.idText()); },
         {{"passwordField", typed}}, {{"passwordField", wrong}}, QStringLiteral("unlock"), "working"},
        {"rename", "renameView", [&] { content->setProperty("renameTarget", VaultActions::shared().vault(work.idText())); },
         {{"nameField", QStringLiteral("Work Archive")}, {"passwordField", typed}},
         {{"passwordField", wrong}}, QStringLiteral("start"), "working"},
        {"resize", "resizeView", [&] { content->setProperty("resizeTarget", VaultActions::shared().vault(nearly.idText())); },
         {{"sizeField", QStringLiteral("500")}, {"passwordField", typed}}, {{"passwordField", wrong}},
         QStringLiteral("start"), "working"},
        {"changePassword", "changePasswordView",
         [&] { content->setProperty("changePasswordTarget", VaultActions::shared().vault(taxes.idText())); },
         {{"oldPasswordField", typed}, {"newPasswordField", QStringLiteral("new-secret-phrase")},
          {"confirmField", QStringLiteral("new-secret-phrase")}, {"hintField", QStringLiteral("the harbour")}},
         {{"hintField", QStringLiteral("new-secret-phrase")}}, QString(), "working"},
        {"verify", "verifyVaultView", [&] { content->setProperty("verifyTarget", VaultActions::shared().vault(work.idText())); },
         {{"passwordField", typed}}, {}, QStringLiteral("start"), "working"},
        {"compact", "passwordActionView", [&] { content->setProperty("compactTarget", VaultActions::shared().vault(work.idText())); },
         {{"passwordField", typed}}, {{"passwordField", wrong}}, QStringLiteral("start"), "working"},
        {"delete", "deleteVaultView", [&] { content->setProperty("deleteTarget", VaultActions::shared().vault(work.idText())); },
         {{"passwordField", typed}}, {{"passwordField", wrong}}, QStringLiteral("start"), "working"},
        {"settings", "vaultSettingsView", [&] { content->setProperty("settingsTarget", VaultActions::shared().vault(photos.idText())); },
         {{"hintField", QStringLiteral("a beach in 2019")}},
         {{"hintField", typed}}, QString(), nullptr},
    };
    for (const SheetShots &sheet : sheets) {
        const QString base = QString::fromLatin1(sheet.name) + QStringLiteral("-sheet");
        sheet.open();
        settle(300);
        QObject *view = window->findChild<QObject *>(QLatin1String(sheet.objectName));
        if (!view) {
            std::printf("FAILED %s: no sheet\n", qPrintable(base));
            ok = false;
            continue;
        }
        ok = save(window, output, base) && ok;
        fill(view, sheet.filled);
        ok = save(window, output, base + QStringLiteral("-filled")) && ok;
        fill(view, sheet.message);
        if (!sheet.run.isEmpty())
            QMetaObject::invokeMethod(view, sheet.run.toLatin1().constData());
        // The refusal's alert, the inline message or the verdict, whichever the sheet shows.
        waitUntil([&] { return store.errorMessage() || !view->property("working").toBool(); });
        ok = save(window, output, base + QStringLiteral("-message"), 600) && ok;
        QMetaObject::invokeMethod(window, "closeAllPopups");
        QMetaObject::invokeMethod(content, "closeSheets");
        store.setErrorMessage(std::nullopt);
        settle(200);
        if (sheet.workingFlag) {
            sheet.open();
            settle(300);
            fill(view, sheet.filled);
            view->setProperty(sheet.workingFlag, true);
            ok = save(window, output, base + QStringLiteral("-working")) && ok;
            view->setProperty(sheet.workingFlag, false);
        }
        QMetaObject::invokeMethod(content, "closeSheets");
        settle(200);
    }

    // The unlock sheet in its own window, as the tray opens it.
    UnlockPromptWindow::setEngine(&engine);
    UnlockPromptWindow::show(store.vault(brimming.id).value());
    if (QQuickWindow *prompt = UnlockPromptWindow::window()) {
        QObject *view = prompt->findChild<QObject *>(QStringLiteral("unlockView"));
        ok = save(prompt, output, QStringLiteral("unlock-window")) && ok;
        fill(view, {{"passwordField", wrong}});
        ok = save(prompt, output, QStringLiteral("unlock-window-filled")) && ok;
        QMetaObject::invokeMethod(view, "unlock");
        waitUntil([&] { return bool(store.errorMessage()); });
        ok = save(prompt, output, QStringLiteral("unlock-window-message"), 600) && ok;
        store.setErrorMessage(std::nullopt);
        view->setProperty("working", true);
        ok = save(prompt, output, QStringLiteral("unlock-window-working")) && ok;
        view->setProperty("working", false);
        UnlockPromptWindow::close();
    } else {
        std::printf("FAILED unlock-window\n");
        ok = false;
    }

    QCoro::waitFor(store.lockAll(true, QStringLiteral("quit")));
    return ok ? 0 : 1;
}

// Renders the main window in its states to PNG files, with real vaults made by the real tools in a
// private home: the empty state, a list showing each card state, the context menu, the removal
// confirmation, and the moved-file and waiting-for-disk dialogs.
//
//   scripts/render-screenshots.sh    (writes docs/screenshots/*.png)

#include "platform/Timestamp.h"
#include "store/VaultStore.h"
#include "ui/FileDialogs.h"
#include "ui/VaultActions.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>

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

bool save(QQuickWindow *window, const QString &folder, const QString &name, int settleMs = 400)
{
    settle(settleMs);
    const QImage image = window->grabWindow();
    const bool saved = image.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(name));
    return saved;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString output = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(output);
    VaultStore &store = VaultStore::shared();
    store.setFileDialogs(&FileDialogs::shared());

    QQmlApplicationEngine engine;
    engine.load(QUrl(QStringLiteral("qrc:/org/hollowkeep/Main.qml")));
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (!window)
        return 1;
    window->show();
    bool ok = save(window, output, QStringLiteral("empty-state"));

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
    window->resize(520, 620);
    QCoro::waitFor(store.unlock(photos, QString::fromUtf8(password), false, QStringLiteral("password")));
    QCoro::waitFor(store.refresh());
    // Grabbed while the unlock of "Work Projects" runs.
    auto pending = store.unlock(work, QString::fromUtf8(password), false, QStringLiteral("password"));
    ok = save(window, output, QStringLiteral("vault-list"), 30) && ok;
    QCoro::waitFor(pending);
    QCoro::waitFor(store.lock(work, true, QStringLiteral("manual")));

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

    // The two sheets every user meets first.
    QObject *content = window->findChild<QObject *>(QStringLiteral("content"));
    content->setProperty("showingCreate", true);
    settle(300);
    if (QObject *sheet = window->findChild<QObject *>(QStringLiteral("createVaultView"))) {
        for (const auto &[field, text] :
             {std::pair{"nameField", "Private: Letters"}, std::pair{"passwordField", "correct horse"}})
            if (QObject *input = sheet->findChild<QObject *>(QLatin1String(field)))
                input->setProperty("text", QString::fromUtf8(text));
    }
    ok = save(window, output, QStringLiteral("create-sheet")) && ok;
    content->setProperty("showingCreate", false);
    VaultActions::shared().usePassword(brimming.idText());
    ok = save(window, output, QStringLiteral("unlock-sheet")) && ok;

    QMetaObject::invokeMethod(window, "closeAllPopups");
    QMetaObject::invokeMethod(content, "closeSheets");

    // Each maintenance sheet as it opens for a vault.
    const QList<std::pair<const char *, Vault>> sheetSlots{
        {"renameTarget", taxes},   {"resizeTarget", nearly}, {"changePasswordTarget", taxes},
        {"verifyTarget", work},    {"compactTarget", work},  {"deleteTarget", work},
        {"settingsTarget", photos}};
    for (const auto &[slot, vault] : sheetSlots) {
        content->setProperty(slot, VaultActions::shared().vault(vault.idText()));
        QString name = QString::fromLatin1(slot);
        name.chop(6);
        ok = save(window, output, name + QStringLiteral("-sheet")) && ok;
        QMetaObject::invokeMethod(content, "closeSheets");
        settle(200);
    }

    QCoro::waitFor(store.lockAll(true, QStringLiteral("quit")));
    return ok ? 0 : 1;
}

#include "HollowkeepApp.h"

#include "AppDelegate.h"
#include "platform/SettingsKeys.h"
#include "platform/PanicHotKey.h"
#include "platform/TaskbarPresence.h"
#include "platform/UpdateChecker.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"
#include "ui/AppWindows.h"
#include "ui/Changelog.h"
#include "ui/FileDialogs.h"
#include "ui/TrayItem.h"
#include "ui/UnlockPromptWindow.h"

#include <QApplication>
#include <QFile>
#include <QCoro/QCoroSignal>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QQuickWindow>

#include <cstdio>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
QCoro::Task<UpdateChecker::AlertChoice> askAboutUpdate(QString title, QString text, UpdateChecker::Asker asker);
} // namespace

HollowkeepApp::HollowkeepApp(QObject *parent) : QObject(parent)
{
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(u":/org/hollowkeep/icons/org.hollowkeep.Hollowkeep.svg"_qs));
    // Creating the store loads the vault list and the activity log and starts its timers.
    VaultStore &store = VaultStore::shared();
    store.setFileDialogs(&FileDialogs::shared());
    UpdateChecker::setAlertPresenter(askAboutUpdate);
    m_delegate = std::make_unique<AppDelegate>(store, UserDefaults::standard(), QDBusConnection::sessionBus(),
                                               QDBusConnection::systemBus());
    connect(qApp, &QGuiApplication::commitDataRequest, m_delegate.get(),
            [this](QSessionManager &) { m_delegate->quit(); });
}

HollowkeepApp::~HollowkeepApp() = default;

namespace {

// Milliseconds since this process started, from the kernel's record of its start.
qint64 millisecondsSinceStart()
{
    QFile stat(u"/proc/self/stat"_qs);
    QFile uptime(u"/proc/uptime"_qs);
    if (!stat.open(QIODevice::ReadOnly) || !uptime.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray content = stat.readAll();
    const QList<QByteArray> fields = content.mid(content.lastIndexOf(')') + 2).split(' ');
    const double startedAt = fields.value(19).toDouble() / double(sysconf(_SC_CLK_TCK));
    return qint64((uptime.readAll().split(' ').value(0).toDouble() - startedAt) * 1000);
}

QByteArray residentMemory()
{
    QFile status(u"/proc/self/status"_qs);
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed();
    }
    return {};
}

// The update alert: the program in front, three buttons, View Download the default. It is modal
// to the Settings window when a person asked there, to the whole program when the automatic
// check found the version.
QCoro::Task<UpdateChecker::AlertChoice> askAboutUpdate(QString title, QString text, UpdateChecker::Asker asker)
{
    QMessageBox box(QMessageBox::Information, u"Hollowkeep"_qs, title);
    box.setInformativeText(text);
    QPushButton *view = box.addButton(u"View Download"_qs, QMessageBox::AcceptRole);
    QPushButton *skip = box.addButton(u"Skip This Version"_qs, QMessageBox::DestructiveRole);
    box.addButton(u"Later"_qs, QMessageBox::RejectRole);
    box.setDefaultButton(view);
    QWindow *settings =
        asker == UpdateChecker::Asker::Person ? AppWindows::shared().window(u"SettingsWindow"_qs) : nullptr;
    box.setWindowModality(settings ? Qt::WindowModal : Qt::ApplicationModal);
    if (settings) {
        box.winId(); // the native window, so that it can belong to the Settings window
        box.windowHandle()->setTransientParent(settings);
    }
    box.show();
    box.raise();
    box.activateWindow();
    co_await qCoro(&box, &QDialog::finished);
    co_return box.clickedButton() == view   ? UpdateChecker::AlertChoice::ViewDownload
              : box.clickedButton() == skip ? UpdateChecker::AlertChoice::SkipThisVersion
                                            : UpdateChecker::AlertChoice::Later;
}

} // namespace

QQuickWindow *HollowkeepApp::mainWindow() const
{
    const QList<QObject *> roots = m_engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.first());
}

QStringList HollowkeepApp::missingQmlModules(const QStringList &importPaths)
{
    static const QList<std::pair<QString, QString>> modules{
        {u"QtQuick"_qs, u"qml6-module-qtquick"_qs},
        {u"QtQuick.Window"_qs, u"qml6-module-qtquick-window"_qs},
        {u"QtQuick.Controls"_qs, u"qml6-module-qtquick-controls"_qs},
        {u"QtQuick.Templates"_qs, u"qml6-module-qtquick-templates"_qs},
        {u"QtQuick.Layouts"_qs, u"qml6-module-qtquick-layouts"_qs},
        {u"QtQml.WorkerScript"_qs, u"qml6-module-qtqml-workerscript"_qs}};
    QStringList missing;
    for (const auto &[module, package] : modules) {
        const QString relative = QString(module).replace(u'.', u'/') + u"/qmldir"_qs;
        if (std::none_of(importPaths.begin(), importPaths.end(),
                         [&relative](const QString &path) { return QFile::exists(path + u'/' + relative); }))
            missing << u"%1 (package %2)"_qs.arg(module, package);
    }
    return missing;
}

bool HollowkeepApp::start()
{
    UnlockPromptWindow::setEngine(&m_engine);
    AppWindows::shared().setEngine(&m_engine);
    // Said in plain words, rather than a window that silently never appears.
    if (const QStringList missing = missingQmlModules(m_engine.importPathList()); !missing.isEmpty()) {
        const QString message = u"Hollowkeep cannot show its windows: these parts of Qt are not installed: %1. "
                                "Install them and start Hollowkeep again."_qs.arg(missing.join(u", "_qs));
        std::fprintf(stderr, "hollowkeep: %s\n", qPrintable(message));
        QMessageBox::critical(nullptr, u"Hollowkeep"_qs, message);
        return false;
    }
    m_engine.load(QUrl(u"qrc:/org/hollowkeep/Main.qml"_qs));
    if (!mainWindow()) {
        std::fprintf(stderr, "hollowkeep: the main window could not be loaded (see the messages above).\n");
        return false;
    }
    // For bench/startup.sh: report the first frame of the main window and end.
    if (qEnvironmentVariableIsSet("HOLLOWKEEP_REPORT_FIRST_FRAME")) {
        connect(
            mainWindow(), &QQuickWindow::frameSwapped, this,
            [] {
                std::fprintf(stderr, "first frame %lld ms, resident %s\n", millisecondsSinceStart(),
                             residentMemory().constData());
                QCoreApplication::exit(0);
            },
            Qt::SingleShotConnection);
    }
    TrayItem::shared().start(&m_engine, [this] { return mainWindow(); }, [this] { m_delegate->quit(); });
    UserDefaults &defaults = UserDefaults::standard();
    // Launch steps: 1. hidden from the taskbar or not, before the window first appears; it
    // follows the setting while the program runs.
    TaskbarPresence::setHidden(mainWindow(), defaults.boolValue(SettingsKeys::hideDockIcon));
    mainWindow()->show();
    connect(&defaults, &UserDefaults::changed, this, [this, &defaults](const QString &key) {
        if (key == SettingsKeys::hideDockIcon)
            TaskbarPresence::setHidden(mainWindow(), defaults.boolValue(key));
    });
    // 2. File-manager actions arrive with the command line. 3. The panic shortcut, 4. the
    // update checks, 5. What's New once after an update.
    connect(&PanicHotKey::presses(), &PanicHotKey::Presses::pressed, this,
            [] { VaultStore::shared().lockAll(true, u"panic shortcut"_s); });
    PanicHotKey::follow(defaults);
    UpdateChecker::startAutomaticChecks(defaults);
    if (Changelog::takeUpdate(defaults, Changelog::version()))
        AppWindows::shared().show(u"ChangelogWindow"_s);
    // 6, 7. Screen lock, sleep and termination signals.
    m_delegate->applicationDidFinishLaunching();
    return true;
}

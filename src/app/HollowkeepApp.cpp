#include "HollowkeepApp.h"

#include "AppDelegate.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"
#include "ui/FileDialogs.h"
#include "ui/UnlockPromptWindow.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QQuickWindow>

#include <cstdio>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

HollowkeepApp::HollowkeepApp(QObject *parent) : QObject(parent)
{
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(u":/org/hollowkeep/icons/org.hollowkeep.Hollowkeep.svg"_qs));
    // Creating the store loads the vault list and the activity log and starts its timers.
    VaultStore &store = VaultStore::shared();
    store.setFileDialogs(&FileDialogs::shared());
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

} // namespace

QQuickWindow *HollowkeepApp::mainWindow() const
{
    const QList<QObject *> roots = m_engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.first());
}

bool HollowkeepApp::start()
{
    UnlockPromptWindow::setEngine(&m_engine);
    m_engine.load(QUrl(u"qrc:/org/hollowkeep/Main.qml"_qs));
    if (!mainWindow())
        return false;
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
    setUpTray();
    m_delegate->applicationDidFinishLaunching();
    return true;
}

int HollowkeepApp::run()
{
    return start() ? QApplication::exec() : 1;
}

void HollowkeepApp::showMainWindow()
{
    if (QQuickWindow *window = mainWindow()) {
        window->show();
        window->raise();
        window->requestActivate();
    }
}

void HollowkeepApp::setUpTray()
{
    // The panel and the full menu arrive with the tray's own views; this is their anchor.
    m_trayMenu = std::make_unique<QMenu>();
    m_trayMenu->addAction(u"Open Hollowkeep"_qs, this, &HollowkeepApp::showMainWindow);
    m_trayMenu->addAction(u"Lock All"_qs, this, [] { VaultStore::shared().lockAll(false, u"manual"_qs); });
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(u"Quit Hollowkeep"_qs, m_delegate.get(), &AppDelegate::quit);
    m_tray.setContextMenu(m_trayMenu.get());
    m_tray.setToolTip(u"Hollowkeep"_qs);
    const auto updateIcon = [this] {
        const bool anyOpen = !VaultStore::shared().mountPoints().isEmpty();
        m_tray.setIcon(QIcon(anyOpen ? u":/org/hollowkeep/icons/tray-unlocked.svg"_qs
                                     : u":/org/hollowkeep/icons/tray-locked.svg"_qs));
    };
    updateIcon();
    connect(&VaultStore::shared(), &VaultStore::mountPointsChanged, this, updateIcon);
    connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            showMainWindow();
    });
    m_tray.setVisible(true);
}

#include "TrayItem.h"

#include "AppWindows.h"
#include "MenuBarIcon.h"
#include "VaultActions.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"

#include <QCursor>
#include <QGuiApplication>
#include <QJSEngine>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QScreen>

using namespace Qt::Literals::StringLiterals;

TrayItem &TrayItem::shared()
{
    static TrayItem *instance = new TrayItem;
    return *instance;
}

TrayItem *TrayItem::create(QQmlEngine *, QJSEngine *)
{
    QJSEngine::setObjectOwnership(&shared(), QJSEngine::CppOwnership);
    return &shared();
}

TrayItem::TrayItem() = default;

void TrayItem::start(QQmlEngine *engine, std::function<QQuickWindow *()> mainWindow, std::function<void()> quit)
{
    m_engine = engine;
    m_mainWindow = std::move(mainWindow);
    m_quit = std::move(quit);
    m_icon = std::make_unique<QSystemTrayIcon>();
    m_content = std::make_unique<MenuBarContent>(VaultStore::shared(), VaultActions::shared());
    connect(m_content.get(), &MenuBarContent::openMainWindow, this, &TrayItem::showMainWindow);
    connect(m_content.get(), &MenuBarContent::openSettings, this, &TrayItem::showSettings);
    connect(m_content.get(), &MenuBarContent::openWhatsNew, this, &TrayItem::showWhatsNew);
    connect(m_content.get(), &MenuBarContent::openAbout, this, &TrayItem::showAbout);
    connect(m_content.get(), &MenuBarContent::quitRequested, this, &TrayItem::quit);
    m_icon->setToolTip(u"Hollowkeep"_qs);
    m_icon->setContextMenu(m_content->menu());
    connect(m_icon.get(), &QSystemTrayIcon::activated, this, &TrayItem::onActivated);
    connect(&VaultStore::shared(), &VaultStore::mountPointsChanged, this, &TrayItem::updateImage);
    connect(&UserDefaults::standard(), &UserDefaults::changed, this, [this](const QString &key) {
        if (key == SettingsKeys::menuBarIcon || key == SettingsKeys::menuBarPanel || key == SettingsKeys::hideDockIcon)
            follow();
    });
    updateImage();
    follow();
}

bool TrayItem::shown() const
{
    return m_icon && m_icon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayItem::follow()
{
    // Hidden from the taskbar, the tray item is the way in: it stays on.
    const bool wanted = UserDefaults::standard().boolValue(SettingsKeys::menuBarIcon) ||
                        UserDefaults::standard().boolValue(SettingsKeys::hideDockIcon);
    if (!UserDefaults::standard().boolValue(SettingsKeys::menuBarPanel) || !wanted)
        hidePanel();
    if (m_icon)
        m_icon->setVisible(wanted);
}

void TrayItem::updateImage()
{
    if (m_icon)
        m_icon->setIcon(MenuBarIcon::image(!VaultStore::shared().mountPoints().isEmpty()));
}

void TrayItem::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
        return;
    if (UserDefaults::standard().boolValue(SettingsKeys::menuBarPanel))
        togglePanel();
    else if (m_content)
        m_content->menu()->popup(QCursor::pos());
}

void TrayItem::togglePanel()
{
    if (m_panel && m_panel->isVisible()) {
        hidePanel();
        return;
    }
    if (!m_panel && m_engine) {
        QQmlComponent component(m_engine, QUrl(u"qrc:/org/hollowkeep/MenuBarPanel.qml"_qs));
        m_panel = qobject_cast<QQuickWindow *>(component.create());
        if (!m_panel) {
            qWarning("%s", qPrintable(component.errorString()));
            return;
        }
    }
    if (!m_panel)
        return;
    VaultActions::shared().refreshUnlockedSizes();
    placePanel();
    m_panel->show();
    m_panel->raise();
    m_panel->requestActivate();
}

void TrayItem::hidePanel()
{
    if (m_panel)
        m_panel->hide();
}

void TrayItem::placePanel()
{
    // At the tray icon when the tray says where it is; otherwise by the pointer, in the corner of
    // its screen nearest to it: under a top panel or above a bottom one.
    const QRect icon = m_icon ? m_icon->geometry() : QRect();
    const QPoint anchor = icon.isValid() ? icon.center() : QCursor::pos();
    QScreen *screen = QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size(qMax(m_panel->width(), 300), qMax(m_panel->height(), 100));
    const int x = qBound(area.left() + 4, anchor.x() - size.width() / 2, area.right() - size.width() - 4);
    const bool top = anchor.y() < area.center().y();
    const int y = top ? (icon.isValid() ? icon.bottom() + 4 : area.top() + 4)
                      : (icon.isValid() ? icon.top() - size.height() - 4 : area.bottom() - size.height() - 4);
    m_panel->setScreen(screen);
    m_panel->setPosition(x, qBound(area.top(), y, area.bottom() - size.height()));
}

void TrayItem::showMainWindow()
{
    hidePanel();
    QQuickWindow *window = m_mainWindow ? m_mainWindow() : nullptr;
    if (!window)
        return;
    AppWindows::bringToFront(window);
}

void TrayItem::showSettings()
{
    hidePanel();
    AppWindows::shared().show(u"SettingsWindow"_s);
}

void TrayItem::showWhatsNew()
{
    hidePanel();
    AppWindows::shared().show(u"ChangelogWindow"_s);
}

void TrayItem::showAbout()
{
    hidePanel();
    AppWindows::shared().show(u"AboutWindow"_s);
}

void TrayItem::newVault()
{
    VaultStore::shared().setNewVaultRequested(true);
    showMainWindow();
}

void TrayItem::quit()
{
    hidePanel();
    if (m_quit)
        m_quit();
}

#pragma once

#include <QObject>
#include <QQmlApplicationEngine>
#include <QSystemTrayIcon>

#include <memory>

class AppDelegate;
class QMenu;
class QQuickWindow;

// The application: the store, the main window "Hollowkeep" and the tray icon, with the delegate
// that handles the life-cycle. Closing the window never quits; the tray icon brings it back.
class HollowkeepApp : public QObject
{
    Q_OBJECT

public:
    explicit HollowkeepApp(QObject *parent = nullptr);
    ~HollowkeepApp() override;

    // Loads the main window, showing it unless the program runs from the tray only, sets up the
    // tray and runs the launch steps. False when the window could not be loaded.
    bool start();
    // start(), then the event loop.
    int run();
    [[nodiscard]] QQuickWindow *mainWindow() const;

private:
    void showMainWindow();
    void setUpTray();

    std::unique_ptr<AppDelegate> m_delegate;
    QQmlApplicationEngine m_engine;
    QSystemTrayIcon m_tray;
    std::unique_ptr<QMenu> m_trayMenu;
};

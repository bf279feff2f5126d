#pragma once

#include "MenuBarContent.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QtQmlIntegration>

#include <functional>
#include <memory>

class QQmlEngine;
class QJSEngine;
#include <QQuickWindow>
class UserDefaults;

// The tray item (a StatusNotifierItem where the desktop has a tray host, else an XEmbed icon): its
// image follows whether any vault is unlocked; a click opens the compact panel or the plain menu
// by the menuBarPanel setting, and the context menu is always the plain menu. Present only while
// menuBarIcon is on; both settings apply at once. It also opens the application's windows.
class TrayItem : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    [[nodiscard]] static TrayItem &shared();
    static TrayItem *create(QQmlEngine *, QJSEngine *);

    // Sets the item up with the engine that loads the panel and the main window it opens.
    void start(QQmlEngine *engine, std::function<QQuickWindow *()> mainWindow, std::function<void()> quit);

    // Whether the item is on a tray the desktop shows: when not, closing the main window would
    // leave nothing on screen, so the window minimises instead. Asked again each time: a tray
    // host can appear or go while the program runs.
    [[nodiscard]] Q_INVOKABLE bool shown() const;
    // Made by start(): widgets need the application object of a widget program.
    [[nodiscard]] QSystemTrayIcon *icon() { return m_icon.get(); }
    [[nodiscard]] MenuBarContent *content() { return m_content.get(); }
    // The panel window, once it was shown.
    [[nodiscard]] QQuickWindow *panel() const { return m_panel; }

    Q_INVOKABLE void showMainWindow();
    Q_INVOKABLE void showSettings();
    Q_INVOKABLE void showWhatsNew();
    Q_INVOKABLE void showAbout();
    // The main window with its create sheet up.
    Q_INVOKABLE void newVault();
    Q_INVOKABLE void quit();
    Q_INVOKABLE void togglePanel();
    Q_INVOKABLE void hidePanel();

private:
    TrayItem();
    // Applies menuBarIcon and menuBarPanel as they are now.
    void follow();
    void updateImage();
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void placePanel();

    std::unique_ptr<QSystemTrayIcon> m_icon;
    std::unique_ptr<MenuBarContent> m_content;
    QQmlEngine *m_engine = nullptr;
    QPointer<QQuickWindow> m_panel;
    std::function<QQuickWindow *()> m_mainWindow;
    std::function<void()> m_quit;
};

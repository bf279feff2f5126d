#pragma once

#include <QObject>
#include <QQmlApplicationEngine>

#include <memory>

class AppDelegate;
class QQuickWindow;

// The application: the store, the main window "Hollowkeep" and the tray item, with the delegate
// that handles the life-cycle. Closing the window never quits; the tray item brings it back (and
// without a tray to show it, the window minimises instead of closing).
class HollowkeepApp : public QObject
{
    Q_OBJECT

public:
    explicit HollowkeepApp(QObject *parent = nullptr);
    ~HollowkeepApp() override;

    // Loads the main window, showing it unless the program runs from the tray only, sets up the
    // tray and runs the launch steps. False when the window could not be loaded.
    bool start();
    [[nodiscard]] QQuickWindow *mainWindow() const;

    // The Qt Quick modules the windows need that none of the import paths holds, each with the
    // Debian package that brings it.
    [[nodiscard]] static QStringList missingQmlModules(const QStringList &importPaths);

private:
    std::unique_ptr<AppDelegate> m_delegate;
    QQmlApplicationEngine m_engine;
};

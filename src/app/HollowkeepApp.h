#pragma once

#include <QObject>
#include <QQmlApplicationEngine>

// The application object: owns the QML engine and shows the main window "Hollowkeep".
class HollowkeepApp : public QObject
{
    Q_OBJECT

public:
    explicit HollowkeepApp(QObject *parent = nullptr);

    // Shows the main window and runs the event loop; answers the exit status.
    int run();

private:
    QQmlApplicationEngine m_engine;
};

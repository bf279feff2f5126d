#include "HollowkeepApp.h"

#include <QApplication>

HollowkeepApp::HollowkeepApp(QObject *parent)
    : QObject(parent)
{
}

int HollowkeepApp::run()
{
    m_engine.load(QUrl(QStringLiteral("qrc:/org/hollowkeep/ui/Main.qml")));
    if (m_engine.rootObjects().isEmpty())
        return 1;
    return QApplication::exec();
}

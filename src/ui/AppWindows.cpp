#include "AppWindows.h"

#include <QJSEngine>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

using namespace Qt::Literals::StringLiterals;

AppWindows &AppWindows::shared()
{
    static AppWindows *instance = new AppWindows;
    return *instance;
}

AppWindows *AppWindows::create(QQmlEngine *engine, QJSEngine *)
{
    QJSEngine::setObjectOwnership(&shared(), QJSEngine::CppOwnership);
    if (!shared().m_engine)
        shared().m_engine = engine;
    return &shared();
}

void AppWindows::show(const QString &name)
{
    QPointer<QQuickWindow> &window = m_windows[name];
    if (!window && m_engine) {
        QQmlComponent component(m_engine, QUrl(u"qrc:/org/hollowkeep/%1.qml"_s.arg(name)));
        window = qobject_cast<QQuickWindow *>(component.create());
        if (!window) {
            qWarning("%s", qPrintable(component.errorString()));
            return;
        }
        QJSEngine::setObjectOwnership(window, QJSEngine::CppOwnership);
    }
    if (window)
        bringToFront(window);
}

QQuickWindow *AppWindows::window(const QString &name) const
{
    return m_windows.value(name);
}

void AppWindows::bringToFront(QWindow *window)
{
    if (window->windowState() & Qt::WindowMinimized)
        window->showNormal();
    else
        window->show();
    window->raise();
    window->requestActivate();
}

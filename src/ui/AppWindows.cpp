#include "AppWindows.h"

#include "import/Import.h"

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
    if (!window)
        window = make(name, {});
    if (window)
        bringToFront(window);
}

void AppWindows::showImport(const QStringList &paths)
{
    // "Photos/" is Photos; an empty list (from any client of the bus) shows nothing.
    const QStringList files = Import::cleanPaths(paths);
    if (files.isEmpty())
        return;
    const QString name = u"ImportWindow"_s;
    if (QPointer<QQuickWindow> open = m_windows.take(name)) {
        open->close();
        open->deleteLater();
    }
    QQuickWindow *window = make(name, {{u"files"_s, files}});
    m_windows.insert(name, window);
    if (window)
        bringToFront(window);
}

QQuickWindow *AppWindows::make(const QString &name, const QVariantMap &properties)
{
    if (!m_engine)
        return nullptr;
    QQmlComponent component(m_engine, QUrl(u"qrc:/org/hollowkeep/%1.qml"_s.arg(name)));
    auto *window = qobject_cast<QQuickWindow *>(component.createWithInitialProperties(properties));
    if (!window) {
        qWarning("%s", qPrintable(component.errorString()));
        return nullptr;
    }
    QJSEngine::setObjectOwnership(window, QJSEngine::CppOwnership);
    return window;
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

#include "UnlockPromptWindow.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

using namespace Qt::Literals::StringLiterals;

Q_LOGGING_CATEGORY(lcPrompt, "hollowkeep.prompt")

namespace {

QPointer<QQmlEngine> s_engine;
QPointer<QQuickWindow> s_window;

} // namespace

void UnlockPromptWindow::close()
{
    if (!s_window)
        return;
    QQuickWindow *window = s_window;
    s_window.clear();
    window->close();
    // Deleted later: the request may come from inside one of the window's own handlers.
    window->deleteLater();
}

void UnlockPromptWindow::setEngine(QQmlEngine *engine)
{
    s_engine = engine;
}

QQuickWindow *UnlockPromptWindow::window()
{
    return s_window;
}

void UnlockPromptWindow::show(const Vault &vault)
{
    close();
    if (!s_engine)
        return;
    QQmlComponent component(s_engine, u"qrc:/org/hollowkeep/UnlockPromptWindow.qml"_qs);
    if (component.isError()) {
        qCWarning(lcPrompt) << "the unlock window could not be built:" << component.errorString();
        return;
    }
    QObject *object = component.createWithInitialProperties({{u"vault"_qs, QVariant::fromValue(vault)}});
    auto *window = qobject_cast<QQuickWindow *>(object);
    if (!window) {
        qCWarning(lcPrompt) << "the unlock window could not be built:" << component.errorString();
        delete object;
        return;
    }
    s_window = window;
    window->show();
    window->raise();
    window->requestActivate();
}

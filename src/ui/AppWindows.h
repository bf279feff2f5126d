#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QVariantMap>
#include <QtQmlIntegration>

class QQmlEngine;
class QJSEngine;
class QQuickWindow;
class QWindow;

// The program's single-instance windows beside the main one: Settings, About, What's New and
// Add to Vault.
// Each is made on first use and kept; closing hides it and the next show() brings it back.
class AppWindows : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    [[nodiscard]] static AppWindows &shared();
    static AppWindows *create(QQmlEngine *, QJSEngine *);

    void setEngine(QQmlEngine *engine) { m_engine = engine; }

    // name: "SettingsWindow", "AboutWindow" or "ChangelogWindow".
    Q_INVOKABLE void show(const QString &name);
    // The "Add to Vault" window for these files; one that is open already is replaced.
    Q_INVOKABLE void showImport(const QStringList &files);
    // The window, once it was made.
    [[nodiscard]] QQuickWindow *window(const QString &name) const;

    // Shown (restored when minimised) on the current workspace, in front, with the focus.
    static void bringToFront(QWindow *window);

private:
    AppWindows() = default;
    QQuickWindow *make(const QString &name, const QVariantMap &properties);

    QQmlEngine *m_engine = nullptr;
    QHash<QString, QPointer<QQuickWindow>> m_windows;
};

#pragma once

#include "store/VaultStore.h"

#include <QObject>
#include <QtQmlIntegration>

// The store's file dialogs, shown by the main window: the store awaits them, the window shows
// them on these signals and reports when the user has answered.
class QQmlEngine;
class QJSEngine;
class FileDialogs : public QObject, public VaultFileDialogs
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    [[nodiscard]] static FileDialogs &shared();
    static FileDialogs *create(QQmlEngine *, QJSEngine *);

    QCoro::Task<void> presentWaiting(Vault vault) override;
    QCoro::Task<void> presentRelocated(Vault vault) override;

    // Called by the window when the dialog it showed is closed.
    Q_INVOKABLE void answered() { Q_EMIT closed(); }

Q_SIGNALS:
    void waitingRequested(const QVariant &vault);
    void relocatedRequested(const QVariant &vault);
    void closed();

private:
    // The one instance is shared(); QML reaches it through create().
    FileDialogs() = default;
};

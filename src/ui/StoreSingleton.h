#pragma once

#include "store/VaultStore.h"

#include <QJSEngine>
#include <QQmlEngine>
#include <QtQml/qqmlregistration.h>

// The one store, owned by C++, as the QML singleton VaultStore.
struct StoreSingleton
{
    Q_GADGET
    QML_FOREIGN(VaultStore)
    QML_SINGLETON
    QML_NAMED_ELEMENT(VaultStore)

public:
    static VaultStore *create(QQmlEngine *, QJSEngine *)
    {
        QJSEngine::setObjectOwnership(&VaultStore::shared(), QJSEngine::CppOwnership);
        return &VaultStore::shared();
    }
};

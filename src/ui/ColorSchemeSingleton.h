#pragma once

#include "platform/ColorScheme.h"

#include <QJSEngine>
#include <QQmlEngine>
#include <QtQml/qqmlregistration.h>

// The desktop's colour-scheme preference, owned by C++, as the QML singleton ColorScheme.
struct ColorSchemeSingleton
{
    Q_GADGET
    QML_FOREIGN(ColorScheme)
    QML_SINGLETON
    QML_NAMED_ELEMENT(ColorScheme)

public:
    static ColorScheme *create(QQmlEngine *, QJSEngine *)
    {
        QJSEngine::setObjectOwnership(&ColorScheme::shared(), QJSEngine::CppOwnership);
        return &ColorScheme::shared();
    }
};

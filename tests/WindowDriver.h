#pragma once

#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <QtQuickTest/quicktest.h>

// Drives a Qt Quick window as a user does: finds controls by their object names (popups
// included, since they live in the window's overlay), clicks their centres and types into
// whatever has focus.
namespace WindowDriver {

inline QQuickItem *findItem(QQuickItem *root, const QString &objectName)
{
    if (!root)
        return nullptr;
    for (QQuickItem *child : root->childItems()) {
        if (child->objectName() == objectName && child->isVisible())
            return child;
        if (QQuickItem *found = findItem(child, objectName))
            return found;
    }
    return nullptr;
}

// A control inside a sheet or dialog (a popup, which is no item itself), or inside the window.
inline QQuickItem *findItem(QObject *scope, const QString &objectName)
{
    if (auto *window = qobject_cast<QQuickWindow *>(scope))
        return findItem(window->contentItem(), objectName);
    if (!scope)
        return nullptr;
    if (auto *item = qobject_cast<QQuickItem *>(scope))
        return findItem(item, objectName);
    return findItem(scope->property("contentItem").value<QQuickItem *>(), objectName);
}

// The first visible text control showing exactly this text (menu items, alert buttons).
inline QQuickItem *findByText(QQuickItem *root, const QString &text)
{
    if (!root)
        return nullptr;
    for (QQuickItem *child : root->childItems()) {
        if (child->isVisible() && child->property("text").toString() == text &&
            child->metaObject()->indexOfSignal("clicked()") >= 0)
            return child;
        if (QQuickItem *found = findByText(child, text))
            return found;
    }
    return nullptr;
}

// Whether a control that has the focus shows it: a text field by its own frame, anything else by
// its focus ring.
inline bool focusRingShown(QQuickItem *control)
{
    if (control->inherits("QQuickTextInput") || control->inherits("QQuickTextEdit"))
        return true;
    QQuickItem *ring = findItem(control, QStringLiteral("focusRing"));
    return ring && ring->isVisible() && ring->width() > 0;
}

inline QPoint centre(QQuickItem *item)
{
    return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
}

// Scrolls every scrolling view the item sits in until the item is inside it, as a user would
// before clicking it.
inline void scrollIntoView(QQuickItem *item)
{
    for (QQuickItem *view = item->parentItem(); view; view = view->parentItem()) {
        const QVariant contentY = view->property("contentY");
        const QVariant contentHeight = view->property("contentHeight");
        if (!contentY.isValid() || !contentHeight.isValid() || contentHeight.toReal() <= view->height())
            continue;
        const QRectF inView = item->mapRectToItem(view, QRectF(0, 0, item->width(), item->height()));
        qreal target = contentY.toReal();
        if (inView.bottom() > view->height())
            target += inView.bottom() - view->height();
        if (inView.top() < 0)
            target += inView.top();
        target = qBound<qreal>(0, target, contentHeight.toReal() - view->height());
        view->setProperty("contentY", target);
    }
}

inline void click(QQuickItem *item, Qt::MouseButton button = Qt::LeftButton)
{
    if (!item) {
        QTest::qFail("no such control to click", __FILE__, __LINE__);
        return;
    }
    // Where the user sees it: after pending layouts (rows and columns place their children late).
    QQuickTest::qWaitForPolish(item->window());
    scrollIntoView(item);
    QQuickTest::qWaitForPolish(item->window());
    QTest::mouseClick(item->window(), button, {}, centre(item));
}

// Key events carry the characters themselves, so any text can be typed.
inline void typeText(QQuickWindow *window, const QString &text)
{
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(character));
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(character));
        QGuiApplication::sendEvent(window, &press);
        QGuiApplication::sendEvent(window, &release);
    }
}

// Clicks into a text field, empties it and types the text.
inline void type(QQuickItem *field, const QString &text)
{
    click(field);
    field->forceActiveFocus();
    QTest::keyClick(field->window(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field->window(), Qt::Key_Delete);
    typeText(field->window(), text);
}

inline void press(QQuickWindow *window, Qt::Key key)
{
    QTest::keyClick(window, key);
}

} // namespace WindowDriver

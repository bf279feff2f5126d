#pragma once

#include <QDateTime>
#include <QObject>
#include <QtQmlIntegration>

// The captions the vault views show, for QML.
class QQmlEngine;
class QJSEngine;
class Format : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE static QString limit(qint64 megabytes);
    Q_INVOKABLE static QString bytes(qint64 bytes);
    // "<used> used of <limit>" or "<size> on disk · up to <limit>", plus " · opened <when>" for a
    // locked vault that has been opened.
    // The capacity caption: "… used of …" or "… on disk · up to …".
    Q_INVOKABLE static QString caption(qint64 bytes, const QVariant &vault, bool unlocked);
    Q_INVOKABLE static QString usage(qint64 bytes, const QVariant &vault, bool unlocked);
    // A short relative time: "now", "5 min. ago", "3 hr. ago", "2 days ago".
    Q_INVOKABLE static QString relative(const QDateTime &when,
                                        const QDateTime &now = QDateTime::currentDateTimeUtc());
};

#pragma once

#include <QObject>
#include <QVariantList>
#include <QtQmlIntegration>

class QQmlEngine;
class QJSEngine;
class UserDefaults;

// The release notes the What's New window shows, newest first, and the launch rule that opens it
// once after an update.
class Changelog : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // [{version, title, points: [{icon, name, detail}]}]
    Q_PROPERTY(QVariantList entries READ entries CONSTANT)
    Q_PROPERTY(QString version READ version CONSTANT)

public:
    static Changelog *create(QQmlEngine *, QJSEngine *);

    [[nodiscard]] static QVariantList entries();
    // The running version, from the build.
    [[nodiscard]] static QString version();
    [[nodiscard]] static bool hasNotes(const QString &version);
    // Records the running version as the last launched one and answers whether What's New should
    // open: the version changed since the last launch (not a first launch) and has notes.
    [[nodiscard]] static bool takeUpdate(UserDefaults &defaults, const QString &current);

private:
    Changelog() = default;
};

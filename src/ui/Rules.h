#pragma once

#include <QObject>
#include <QtQmlIntegration>

class QQmlEngine;
class QJSEngine;

// The input rules and their messages, for the sheets.
class Rules : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // The one inline message of the create form; empty when there is none.
    Q_INVOKABLE static QString createValidationMessage(const QString &name, const QString &password,
                                                       const QString &confirmation, const QString &hint);
    Q_INVOKABLE static bool canCreate(const QString &name, const QString &password,
                                      const QString &confirmation, const QString &hint, qint64 sizeMB,
                                      bool creating);
    Q_INVOKABLE static bool canSubmitPassword(const QString &password, bool running);
    Q_INVOKABLE static QString hintMessage(const QString &hint, const QString &password);
    Q_INVOKABLE static bool canChange(const QString &currentPassword, const QString &newPassword,
                                      const QString &confirmation, const QString &hint, bool changing);
    Q_INVOKABLE static bool canRename(const QString &newName, const QString &currentName,
                                      const QString &password, bool renaming);
    Q_INVOKABLE static bool canResize(const QString &password, qint64 newSizeMB, qint64 currentSizeMB,
                                      bool resizing);
    Q_INVOKABLE static qint64 resizeMinimumMB(qint64 sizeOnDiskBytes);

    // The size entry: its bounds in the current unit, the value after a unit switch, in MB.
    Q_INVOKABLE static int sizeLower(bool unitGB, qint64 minimumMB);
    Q_INVOKABLE static int sizeUpper(bool unitGB, qint64 minimumMB);
    Q_INVOKABLE static int sizeStep(bool unitGB);
    Q_INVOKABLE static int convertSize(qint64 value, bool toGB);
    Q_INVOKABLE static qint64 sizeInMB(qint64 value, bool unitGB);
};

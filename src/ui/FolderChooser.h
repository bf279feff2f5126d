#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QUrl>
#include <QtQmlIntegration>

#include <optional>

class QQmlEngine;
class QJSEngine;

// Asks the user for a folder (a vault file is a folder too): through the desktop's file chooser
// portal when one runs, otherwise through Qt's dialog, which is the desktop's own where the
// platform theme provides one. A chooser that cannot be shown says so through the store's alert.
class FolderChooser : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    [[nodiscard]] static FolderChooser &shared();
    static FolderChooser *create(QQmlEngine *, QJSEngine *);

    // Starts a chooser; chosen(purpose, url) follows when the user picks a folder.
    Q_INVOKABLE void choose(const QString &purpose, const QString &title, const QString &acceptLabel,
                            const QUrl &startFolder);
    // The folder picked, or nullopt when cancelled; throws when no chooser could be shown.
    QCoro::Task<std::optional<QUrl>> ask(QString title, QString acceptLabel, QUrl startFolder);

    // Whether the portal is used: set HOLLOWKEEP_FILE_CHOOSER=dialog to use Qt's dialog only.
    [[nodiscard]] static bool portalAllowed();

    // The portal's answer: the first of its "uris" on success (response 0), else nullopt.
    [[nodiscard]] static std::optional<QUrl> portalResult(uint response, const QVariantMap &results);

Q_SIGNALS:
    void chosen(const QString &purpose, const QUrl &folder);
    // A dialog of Qt's was shown (tests drive it like a user).
    void dialogShown(QObject *dialog);

private:
    FolderChooser() = default;
    QCoro::Task<std::optional<std::optional<QUrl>>> askPortal(QString title, QString acceptLabel,
                                                              QUrl startFolder);
    QCoro::Task<void> chooseAndReport(QString purpose, QString title, QString acceptLabel, QUrl start);
    QCoro::Task<std::optional<QUrl>> askDialog(QString title, QString acceptLabel, QUrl startFolder);
    bool m_busy = false;
};

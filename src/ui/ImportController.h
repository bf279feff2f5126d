#pragma once

#include "import/Import.h"
#include "store/VaultStore.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QStringList>
#include <QtQmlIntegration>

#include <optional>

// The work behind the "Add to Vault" window: unlock the chosen vault when it is locked, bring the
// files in (copying off the main thread, with progress and a cancel), report, and close the
// window 1.2 s after success.
class ImportController : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QStringList files READ files WRITE setFiles NOTIFY filesChanged)
    Q_PROPERTY(bool working READ working NOTIFY workingChanged)
    Q_PROPERTY(bool copying READ copying NOTIFY workingChanged)
    Q_PROPERTY(QString resultMessage READ resultMessage NOTIFY resultMessageChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString currentName READ currentName NOTIFY progressChanged)
    // Why the last run stopped: the unlock or the copy failed. Shown in the window only.
    Q_PROPERTY(QString failure READ failure NOTIFY failureChanged)

public:
    explicit ImportController(QObject *parent = nullptr);

    [[nodiscard]] QStringList files() const { return m_files; }
    void setFiles(const QStringList &files);
    [[nodiscard]] bool working() const { return m_working; }
    [[nodiscard]] bool copying() const { return m_copying; }
    [[nodiscard]] QString resultMessage() const { return m_resultMessage; }
    [[nodiscard]] double progress() const { return m_progress; }
    [[nodiscard]] QString currentName() const { return m_currentName; }
    [[nodiscard]] QString failure() const { return m_failure; }

    // needsPassword: the vault is locked and has no saved password, so the typed one is used.
    Q_INVOKABLE void run(const QString &vaultId, const QString &password, bool needsPassword, bool move);
    // Stops the copying between two pieces; what is in the vault stays.
    Q_INVOKABLE void cancel();

    // How long the result stays before the window closes.
    static constexpr int closeDelayMs = 1200;

Q_SIGNALS:
    void filesChanged();
    void workingChanged();
    void resultMessageChanged();
    void progressChanged();
    void failureChanged();
    // The window closes.
    void done();

private:
    QCoro::Task<void> importInto(QString vaultId, QString password, bool needsPassword, bool move);
    void setWorking(bool working);
    void setFailure(const QString &failure);

    VaultStore &m_store;
    // Released after the copy has stopped: m_import waits for its thread when it goes.
    std::optional<BusyMark> m_busy;
    Import m_import;
    QStringList m_files;
    bool m_working = false;
    bool m_copying = false;
    QString m_resultMessage;
    double m_progress = 0;
    QString m_currentName;
    QString m_failure;
};

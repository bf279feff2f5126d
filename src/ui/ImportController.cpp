#include "ImportController.h"

#include "store/VaultStore.h"

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>
#include <QPointer>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

ImportController::ImportController(QObject *parent) : QObject(parent), m_store(VaultStore::shared())
{
    connect(&m_import, &Import::progress, this, [this](qint64 written, qint64 total, const QString &name) {
        m_progress = total > 0 ? double(written) / double(total) : 0;
        m_currentName = name;
        Q_EMIT progressChanged();
    });
}

void ImportController::setFiles(const QStringList &files)
{
    if (files == m_files)
        return;
    m_files = files;
    Q_EMIT filesChanged();
}

void ImportController::run(const QString &vaultId, const QString &password, bool needsPassword, bool move)
{
    if (m_working)
        return;
    importInto(vaultId, password, needsPassword, move);
}

void ImportController::cancel()
{
    m_import.cancel();
}

void ImportController::setFailure(const QString &failure)
{
    if (failure == m_failure)
        return;
    m_failure = failure;
    Q_EMIT failureChanged();
}

void ImportController::setWorking(bool working)
{
    m_working = working;
    Q_EMIT workingChanged();
}

QCoro::Task<void> ImportController::importInto(QString vaultId, QString password, bool needsPassword, bool move)
{
    const std::optional<Vault> vault = m_store.vault(QUuid::fromString(vaultId));
    if (!vault)
        co_return;
    setWorking(true);
    setFailure(QString());
    // A failed unlock is said here, in the window the user looks at, and not again as an alert.
    if (!m_store.isUnlocked(vault->id)) {
        Outcome unlocked;
        if (!needsPassword)
            unlocked = co_await m_store.requestUnlock(*vault);
        else
            unlocked = co_await m_store.unlock(*vault, password, false, u"password"_s);
        if (!m_store.isUnlocked(vault->id)) {
            if (unlocked.failure && m_store.errorMessage() == unlocked.failure)
                m_store.setErrorMessage(std::nullopt);
            setFailure(unlocked.failure.value_or(QString()));
            setWorking(false);
            co_return;
        }
    }
    QPointer<ImportController> self(this);
    // Busy for the whole copy: Lock All, the auto-lock and a Lock button wait for it to end.
    m_busy.emplace(m_store, vault->id);
    m_import.start(m_files, m_store.mountPoints().value(vault->id), move);
    m_copying = true;
    Q_EMIT workingChanged();
    const auto [broughtIn, failure, cancelled] = co_await qCoro(&m_import, &Import::finished);
    if (!self)
        co_return;
    m_busy.reset();
    m_copying = false;
    m_progress = 0;
    Q_EMIT workingChanged();
    Q_EMIT progressChanged();
    if (broughtIn > 0 || cancelled)
        m_store.touchActivity(*vault);
    if (failure || cancelled) {
        setFailure(failure.value_or(QString()));
        setWorking(false);
        co_return;
    }
    m_resultMessage = move ? u"%1 item(s) moved in — originals are in the Trash."_s.arg(broughtIn)
                           : u"%1 item(s) copied in."_s.arg(broughtIn);
    Q_EMIT resultMessageChanged();
    QTimer wait;
    wait.setSingleShot(true);
    wait.start(closeDelayMs);
    co_await wait;
    if (!self)
        co_return;
    Q_EMIT done();
    setWorking(false);
}

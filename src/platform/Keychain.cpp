#include "Keychain.h"

#include "AppPaths.h"

#include <QCoro/QCoroSignal>
#include <QStringDecoder>
#include <qt6keychain/keychain.h>

namespace Keychain {

namespace {

QString account(const QUuid &vaultId)
{
    return vaultId.toString(QUuid::WithoutBraces).toUpper();
}

// Runs a job to its end; answers whether it succeeded.
QCoro::Task<bool> finish(QKeychain::Job &job, const QUuid &vaultId)
{
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(account(vaultId));
    job.start();
    co_await qCoro(&job, &QKeychain::Job::finished);
    co_return job.error() == QKeychain::NoError;
}

} // namespace

QString serviceName()
{
    return QString::fromLatin1(AppPaths::legacyApplicationId);
}

QCoro::Task<std::optional<QString>> password(QUuid vaultId)
{
    QKeychain::ReadPasswordJob job(serviceName());
    const bool found = co_await finish(job, vaultId);
    if (!found)
        co_return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(job.binaryData());
    if (decoder.hasError())
        co_return std::nullopt;
    co_return text;
}

QCoro::Task<void> savePassword(QString password, QUuid vaultId)
{
    co_await deletePassword(vaultId);
    QKeychain::WritePasswordJob job(serviceName());
    job.setTextData(password);
    co_await finish(job, vaultId);
}

QCoro::Task<void> deletePassword(QUuid vaultId)
{
    QKeychain::DeletePasswordJob job(serviceName());
    co_await finish(job, vaultId);
}

} // namespace Keychain

#include "InstanceService.h"

#include "platform/Keychain.h"
#include "store/VaultStore.h"
#include "ui/AppWindows.h"

#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// Everything the other end wrote, then closed.
QString readAll(const QDBusUnixFileDescriptor &descriptor)
{
    QByteArray bytes;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(descriptor.fileDescriptor(), buffer, sizeof buffer)) > 0)
        bytes.append(buffer, got);
    QString text = QString::fromUtf8(bytes);
    std::fill(bytes.begin(), bytes.end(), '\0');
    return text;
}

} // namespace

InstanceService::InstanceService(VaultStore &store, std::function<void(const QString &)> showWindow, QObject *parent)
    : QObject(parent), m_store(store), m_showWindow(std::move(showWindow))
{
}

InstanceService::Claim InstanceService::claim(QDBusConnection bus)
{
    if (!bus.isConnected() || !bus.interface())
        return Claim::NoBus;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> claimed = bus.interface()->registerService(
        QLatin1String(serviceName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (!claimed.isValid())
        return Claim::NoBus;
    return claimed.value() == QDBusConnectionInterface::ServiceRegistered ? Claim::Claimed : Claim::Taken;
}

bool InstanceService::exportOn(QDBusConnection bus)
{
    m_bus = bus;
    return bus.registerObject(QLatin1String(objectPath), this, QDBusConnection::ExportAllSlots);
}

QJsonArray InstanceService::listing(const VaultStore &store)
{
    QJsonArray rows;
    for (const Vault &vault : store.vaults()) {
        const QString mountPoint = store.mountPoints().value(vault.id);
        const QString state = store.isBusy(vault.id)                    ? u"busy"_s
                              : !mountPoint.isEmpty()                   ? u"unlocked"_s
                              : !QFileInfo::exists(vault.bundlePath)    ? u"missing"_s
                                                                        : u"locked"_s;
        rows.append(QJsonObject{{u"name"_s, vault.name},
                                {u"id"_s, vault.idText()},
                                {u"state"_s, state},
                                {u"bytesOnDisk"_s, store.sizesOnDisk().value(vault.id, -1)},
                                {u"limitMB"_s, vault.maxSizeMB},
                                {u"file"_s, vault.bundlePath},
                                {u"mountPoint"_s, mountPoint}});
    }
    return rows;
}

void InstanceService::Activate(const QString &window)
{
    m_showWindow(window);
}

QString InstanceService::List()
{
    return QString::fromUtf8(QJsonDocument(listing(m_store)).toJson(QJsonDocument::Compact));
}

void InstanceService::Unlock(const QString &name, const QDBusMessage &message)
{
    message.setDelayedReply(true);
    unlock(name, QDBusUnixFileDescriptor(), message);
}

void InstanceService::UnlockWithPassword(const QString &name, const QDBusUnixFileDescriptor &password,
                                         const QDBusMessage &message)
{
    message.setDelayedReply(true);
    unlock(name, password, message);
}

void InstanceService::Lock(const QString &name, const QDBusMessage &message)
{
    message.setDelayedReply(true);
    lock(name, message);
}

void InstanceService::Open(const QString &name, const QDBusMessage &message)
{
    const std::optional<Vault> vault = find(name, message);
    if (!vault)
        return;
    const QString mountPoint = m_store.mountPoints().value(vault->id);
    if (mountPoint.isEmpty()) {
        reply(message, u"“%1” is locked."_s.arg(name));
        return;
    }
    m_store.touchActivity(*vault);
    m_store.openVaultFolder(mountPoint);
    reply(message, std::nullopt);
}

void InstanceService::AddToVault(const QStringList &files)
{
    AppWindows::shared().showImport(files);
}

QCoro::Task<void> InstanceService::unlock(QString name, QDBusUnixFileDescriptor password, QDBusMessage message)
{
    const std::optional<Vault> vault = find(name, message);
    if (!vault)
        co_return;
    if (m_store.isUnlocked(vault->id)) {
        reply(message, std::nullopt);
        co_return;
    }
    // A message from before is not this operation's.
    m_store.setErrorMessage(std::nullopt);
    if (password.isValid()) {
        co_await m_store.unlock(*vault, readAll(password), false, u"password"_s);
    } else if (!(co_await Keychain::password(vault->id))) {
        reply(message, u"No password for “%1” is saved in your keyring: give it with --password-stdin."_s.arg(name));
        co_return;
    } else {
        co_await m_store.requestUnlock(*vault);
    }
    const std::optional<QString> failure = takeFailure();
    if (!m_store.isUnlocked(vault->id))
        reply(message, failure.value_or(u"“%1” was not unlocked."_s.arg(name)));
    else
        reply(message, std::nullopt);
}

QCoro::Task<void> InstanceService::lock(QString name, QDBusMessage message)
{
    // A message from before is not this operation's.
    m_store.setErrorMessage(std::nullopt);
    if (name.isEmpty()) {
        co_await m_store.lockAll(false, u"manual"_s);
    } else {
        const std::optional<Vault> vault = find(name, message);
        if (!vault)
            co_return;
        co_await m_store.lock(*vault, false, u"manual"_s);
    }
    reply(message, takeFailure());
}

std::optional<Vault> InstanceService::find(const QString &name, const QDBusMessage &message)
{
    // The exact name first; otherwise a name that differs only in case, when only one does.
    std::optional<Vault> found;
    int loose = 0;
    for (const Vault &vault : m_store.vaults()) {
        if (vault.name == name)
            return vault;
        if (vault.name.compare(name, Qt::CaseInsensitive) == 0) {
            found = vault;
            ++loose;
        }
    }
    if (loose == 1)
        return found;
    reply(message, u"There is no vault named “%1”."_s.arg(name));
    return std::nullopt;
}

void InstanceService::reply(const QDBusMessage &message, const std::optional<QString> &failure)
{
    m_bus.send(failure ? message.createErrorReply(QLatin1String(errorName), *failure) : message.createReply());
}

std::optional<QString> InstanceService::takeFailure()
{
    std::optional<QString> failure = m_store.errorMessage();
    if (failure)
        m_store.setErrorMessage(std::nullopt);
    return failure;
}

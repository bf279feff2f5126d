#include "InstanceService.h"

#include "platform/Keychain.h"
#include "store/VaultStore.h"
#include "ui/AppWindows.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <QCoro/QCoroSignal>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// As much as the command line ever sends; a client may hold its pipe open this long.
constexpr qsizetype maxPasswordBytes = 60000;
constexpr int passwordWaitMs = 5000;

struct PipedPassword
{
    QString text;
    std::optional<QString> failure;
};

// What a client wrote into a pipe and closed, read without blocking the event loop: a client
// that holds its pipe open or passes an endless device must not stop auto-lock and Lock All.
QCoro::Task<PipedPassword> readPipedPassword(QDBusUnixFileDescriptor descriptor)
{
    const int fd = descriptor.fileDescriptor();
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode))
        co_return PipedPassword{{}, u"The password must come through a pipe."_s};
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    QSocketNotifier readable(fd, QSocketNotifier::Read);
    const QDeadlineTimer deadline(passwordWaitMs);
    // Room for all of it up front: growing would leave copies of the password behind.
    QByteArray bytes(maxPasswordBytes, '\0');
    qsizetype length = 0;
    PipedPassword result;
    for (;;) {
        const ssize_t got = ::read(fd, bytes.data() + length, size_t(bytes.size() - length));
        if (got > 0) {
            length += got;
            if (length == bytes.size()) {
                char probe = 0;
                if (::read(fd, &probe, 1) != 0) {
                    result.failure = u"The password is longer than %1 bytes."_s.arg(maxPasswordBytes);
                    break;
                }
            }
            continue;
        }
        if (got == 0) {
            result.text = QString::fromUtf8(bytes.constData(), length);
            break;
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN) {
            result.failure = u"Could not read the password: %1."_s.arg(qt_error_string(error));
            break;
        }
        const std::chrono::milliseconds left{deadline.remainingTime()};
        bool readableAgain = false;
        if (left.count() > 0) {
            const auto woke = co_await qCoro(&readable, &QSocketNotifier::activated, left);
            readableAgain = woke.has_value();
        }
        if (!readableAgain) {
            result.failure = u"The password did not arrive: the pipe was not closed."_s;
            break;
        }
    }
    ::explicit_bzero(bytes.data(), size_t(bytes.size()));
    co_return result;
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
    // Said here at once: the window's dialog about it would wait for someone to look.
    switch (VaultStore::fileState(*vault)) {
    case VaultFileState::Present:
        break;
    case VaultFileState::Missing:
        reply(message, u"“%1” is not in that location: there is no vault file at %2."_s.arg(name, vault->bundlePath));
        co_return;
    case VaultFileState::WaitingForDisk:
        reply(message, u"“%1” is on a disk that isn’t connected right now (%2)."_s.arg(name, vault->bundlePath));
        co_return;
    }
    Outcome outcome;
    bool saved = false;
    if (!password.isValid()) {
        const std::optional<QString> stored = co_await Keychain::password(vault->id);
        saved = stored.has_value();
    }
    if (password.isValid()) {
        const PipedPassword piped = co_await readPipedPassword(password);
        if (piped.failure) {
            reply(message, piped.failure);
            co_return;
        }
        outcome = co_await m_store.unlock(*vault, piped.text, false, u"password"_s);
    } else if (!saved) {
        reply(message, u"No password for “%1” is saved in your keyring: give it with --password-stdin."_s.arg(name));
        co_return;
    } else {
        outcome = co_await m_store.requestUnlock(*vault);
    }
    if (outcome && !m_store.isUnlocked(vault->id))
        outcome.failure = u"“%1” was not unlocked."_s.arg(name);
    answer(message, outcome);
}

QCoro::Task<void> InstanceService::lock(QString name, QDBusMessage message)
{
    if (name.isEmpty()) {
        answer(message, co_await m_store.lockAll(false, u"manual"_s));
        co_return;
    }
    const std::optional<Vault> vault = find(name, message);
    if (vault)
        answer(message, co_await m_store.lock(*vault, false, u"manual"_s));
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

void InstanceService::answer(const QDBusMessage &message, const Outcome &outcome)
{
    // The caller reads the failure on its terminal; the window does not show it a second time.
    if (outcome.failure && m_store.errorMessage() == outcome.failure)
        m_store.setErrorMessage(std::nullopt);
    reply(message, outcome.failure);
}

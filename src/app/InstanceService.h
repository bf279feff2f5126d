#pragma once

#include "store/VaultStore.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QJsonArray>
#include <QObject>

#include <functional>
#include <optional>


// The running program on the session bus as org.hollowkeep.Hollowkeep: a second launch, the
// command line and the file manager's actions reach the one instance that owns the vaults here,
// instead of starting a second program that would race it on the vault list and the mounts.
class InstanceService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.hollowkeep.Hollowkeep")

public:
    static constexpr auto serviceName = "org.hollowkeep.Hollowkeep";
    static constexpr auto objectPath = "/org/hollowkeep/Hollowkeep";
    static constexpr auto errorName = "org.hollowkeep.Hollowkeep.Error.Failed";

    // showWindow: "" for the main window, else an application window's name.
    InstanceService(VaultStore &store, std::function<void(const QString &window)> showWindow,
                    QObject *parent = nullptr);

    enum class Claim { Claimed, Taken, NoBus };
    // Takes the name on the bus, before anything else is loaded: only one process may own it.
    [[nodiscard]] static Claim claim(QDBusConnection bus);
    // Answers on the bus from now on.
    bool exportOn(QDBusConnection bus);

    // Every vault as the command line lists it: name, state, bytes on disk, limit, mount point.
    [[nodiscard]] static QJsonArray listing(const VaultStore &store);

public Q_SLOTS:
    void Activate(const QString &window);
    QString List();
    // With the password saved in the keyring (and authentication when the vault asks for it).
    void Unlock(const QString &name, const QDBusMessage &message);
    // The password comes through a pipe, never in the message itself.
    void UnlockWithPassword(const QString &name, const QDBusUnixFileDescriptor &password,
                            const QDBusMessage &message);
    // An empty name locks every unlocked vault.
    void Lock(const QString &name, const QDBusMessage &message);
    void Open(const QString &name, const QDBusMessage &message);
    // The "Add to Vault" window for these files (absolute paths).
    void AddToVault(const QStringList &files);

private:
    QCoro::Task<void> unlock(QString name, QDBusUnixFileDescriptor password, QDBusMessage message);
    QCoro::Task<void> lock(QString name, QDBusMessage message);
    // The vault of that name, or an error reply sent.
    std::optional<Vault> find(const QString &name, const QDBusMessage &message);
    void reply(const QDBusMessage &message, const std::optional<QString> &failure);
    // Replies with what became of an operation.
    void answer(const QDBusMessage &message, const Outcome &outcome);

    VaultStore &m_store;
    std::function<void(const QString &)> m_showWindow;
    QDBusConnection m_bus{QString()};
};

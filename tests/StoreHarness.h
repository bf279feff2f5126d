#pragma once

#include "ToolHarness.h"
#include "platform/Keychain.h"
#include "platform/UserDefaults.h"
#include "store/VaultList.h"
#include "store/VaultStore.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

// Answers the store's file dialogs and remembers what was shown.
class RecordingDialogs : public VaultFileDialogs
{
public:
    QStringList shown; // "waiting:<name>" or "relocated:<name>"
    QCoro::Task<void> presentWaiting(Vault vault) override
    {
        shown << u"waiting:"_s + vault.name;
        co_return;
    }
    QCoro::Task<void> presentRelocated(Vault vault) override
    {
        shown << u"relocated:"_s + vault.name;
        co_return;
    }
};

// A file manager on the session bus that records the folders it was asked to show.
class RecordingFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QStringList shown;

    bool registerOnBus()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        return bus.registerObject(u"/org/freedesktop/FileManager1"_s, this,
                                  QDBusConnection::ExportAllSlots) &&
               bus.registerService(u"org.freedesktop.FileManager1"_s);
    }

public Q_SLOTS:
    void ShowFolders(const QStringList &uris, const QString &) { shown << uris; }
    void ShowItems(const QStringList &uris, const QString &) { shown << uris; }
};

// Answers a desktop portal's request as the desktop does: the call returns the request's object,
// and its Response signal follows a moment later.
inline QDBusObjectPath answerPortalRequest(QDBusConnection bus, QObject *context, const QDBusMessage &request,
                                           const QVariantMap &options, const QVariantMap &results)
{
    const QString path = u"/org/freedesktop/portal/desktop/request/%1/%2"_s.arg(
        request.service().mid(1).replace(u'.', u'_'), options.value(u"handle_token"_s).toString());
    QTimer::singleShot(100, context, [bus, path, results]() mutable {
        QDBusMessage response = QDBusMessage::createSignal(path, u"org.freedesktop.portal.Request"_s, u"Response"_s);
        response << 0u << results;
        bus.send(response);
    });
    return QDBusObjectPath(path);
}

// Empties the home, data and config folders between tests.
inline void clearFolders(const TestEnvironment &env)
{
    for (const QString &folder : {env.home(), env.data(), env.config()}) {
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
    }
}

// The texts of activity entries, newest first.
inline QStringList textsOf(const QList<ActivityEvent> &events)
{
    QStringList texts;
    for (const ActivityEvent &event : events)
        texts << event.text;
    return texts;
}

// Creates a vault file in the folder with the real tool and lists it the way the create sheet
// does; an empty vault when the tool failed.
inline Vault listNewVault(VaultStore &store, const QString &folder, const QString &name, const QByteArray &password,
                          int sizeMB = 64)
{
    const QString path = folder + QLatin1Char('/') + name + u".sparsebundle"_s;
    if (createVault(path, name, sizeMB, password).status != 0)
        return {};
    const Vault vault = testVault(name, path, sizeMB);
    store.appendVault(vault);
    return vault;
}

// A store over private files, with real vaults made by the real tools.
struct StoreFixture
{
    TestEnvironment &env;
    UserDefaults defaults;
    VaultStore store;
    RecordingDialogs dialogs;
    Timestamp clock = Timestamp::now();

    explicit StoreFixture(TestEnvironment &environment)
        : env(environment), defaults(environment.config() + u"/prefs.json"_s),
          store(defaults, environment.data(), false)
    {
        store.setFileDialogs(&dialogs);
        store.setClock([this] { return clock; });
    }

    // Ends what the test left: the store's own work first, then the vaults it attached and the
    // files it wrote.
    ~StoreFixture()
    {
        for (int waited = 0; store.backgroundWork() > 0 && waited < 60000; waited += 20)
            QTest::qWait(20);
        detachEverything(env.root());
        clearFolders(env);
    }

    Vault addVault(const QString &name, const QByteArray &password, int sizeMB = 64)
    {
        return listNewVault(store, env.home(), name, password, sizeMB);
    }

    // Lists a vault whose bundle folder exists but holds no image (for stand-in tools).
    Vault listVault(const QString &name, bool autoOpen = false)
    {
        Vault vault = testVault(name, env.home() + u'/' + name + u".sparsebundle"_s);
        vault.autoOpenAtLaunch = autoOpen;
        QDir().mkpath(vault.bundlePath);
        store.appendVault(vault);
        return vault;
    }

    // Unlocks with a typed password that is not saved.
    bool unlock(const Vault &vault, const QString &password)
    {
        return QCoro::waitFor(store.unlock(vault, password, false, u"password"_s)).succeeded();
    }
    // The error the store shows, dismissed as the user does.
    QString takeError()
    {
        const QString shown = error();
        store.setErrorMessage(std::nullopt);
        return shown;
    }
    [[nodiscard]] Vault current(const Vault &vault) const { return store.vault(vault.id).value_or(Vault{}); }
    [[nodiscard]] QString mountPoint(const Vault &vault) const { return store.mountPoints().value(vault.id); }
    [[nodiscard]] QString error() const { return store.errorMessage().value_or(QString()); }
    [[nodiscard]] QStringList activityTexts() const { return textsOf(store.activity()); }
};

inline std::optional<QString> savedPassword(const QUuid &id)
{
    return QCoro::waitFor(Keychain::password(id));
}

inline void savePassword(const QString &password, const QUuid &id)
{
    QCoro::waitFor(Keychain::savePassword(password, id));
}

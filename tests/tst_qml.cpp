// Qt Quick tests of the main window's views (tests/qml), over the application's store with
// stand-in disk-image tools and a private home.

#include "FakeTools.h"
#include "VersionServer.h"
#include "platform/SettingsKeys.h"
#include "platform/LoginItem.h"
#include "platform/UpdateChecker.h"
#include "platform/UserDefaults.h"
#include "platform/Keychain.h"
#include "platform/TouchID.h"
#include "store/VaultList.h"
#include "store/VaultStore.h"
#include "ui/AppWindows.h"
#include "ui/FileDialogs.h"
#include "ui/UnlockPromptWindow.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

// Puts the store into the states the views are tested in.
class Fixture : public QObject
{
    Q_OBJECT

public:
    explicit Fixture(TestEnvironment &env, FakeTools &tools) : m_env(env), m_tools(tools) {}
    void setEngine(QJSEngine *engine) { m_engine = engine; }

    // state: "present", "missing" or "waiting".
    Q_INVOKABLE QString addVault(const QString &name, const QString &state, int maxSizeMB, bool touchID,
                                 bool excluded)
    {
        Vault vault = testVault(name,
                                state == "waiting"_L1 ? u"/Volumes/Unplugged Disk/%1.sparsebundle"_s.arg(name)
                                                      : m_env.home() + u'/' + name + u".sparsebundle"_s,
                                maxSizeMB);
        vault.requireTouchID = touchID;
        vault.excludedFromCloud = excluded;
        if (state == "present"_L1)
            QDir().mkpath(vault.bundlePath);
        store().appendVault(vault);
        return vault.idText();
    }
    // A refused unlock fails the calling test with the store's reason.
    Q_INVOKABLE void unlock(const QString &id)
    {
        const Outcome outcome =
            QCoro::waitFor(store().unlock(*store().vault(QUuid::fromString(id)), u"pw"_s, false, u"password"_s));
        if (!outcome && m_engine)
            m_engine->throwError(u"the unlock failed: "_s + *outcome.failure);
    }
    Q_INVOKABLE void lockAll() { QCoro::waitFor(store().lockAll(false, u"manual"_s)); }
    Q_INVOKABLE void setBusy(const QString &id, bool busy)
    {
        if (busy)
            m_busy.emplace_back(std::make_unique<BusyMark>(store(), QUuid::fromString(id)));
        else
            m_busy.clear();
    }
    // Every locked vault then measures this many kilobytes on disk.
    Q_INVOKABLE void setLockedSizeKB(qint64 kilobytes)
    {
        m_tools.respondSizeKB(kilobytes);
        QCoro::waitFor(store().refresh());
    }
    Q_INVOKABLE void reset()
    {
        m_busy.clear();
        QCoro::waitFor(store().lockAll(true, u"quit"_s));
        store().setVaults({});
        // One look at the tables that finds nothing attached forgets what a test left open.
        answerInfo(true);
        QCoro::waitFor(store().refresh());
        answerInfo(false);
        store().setErrorMessage(std::nullopt);
        m_owner.reset();
        UnlockPromptWindow::close();
        QDir(m_env.home()).removeRecursively();
        QDir().mkpath(m_env.home());
    }
    // Whether the stand-in answers what is attached: nothing. Otherwise it cannot tell, and the
    // store keeps what its own unlocks and locks did whenever a view's start-up look answers.
    void answerInfo(bool nothingAttached)
    {
        if (nothingAttached)
            m_tools.respond(u"hdiutil-info"_s, {});
        else
            m_tools.respond(u"hdiutil-info"_s, {}, "hdiutil: info failed - nothing known", 1);
    }
    Q_INVOKABLE void fail(const QString &message) { store().setErrorMessage(message); }
    Q_INVOKABLE QString savedPassword(const QString &id) const
    {
        return QCoro::waitFor(Keychain::password(QUuid::fromString(id))).value_or(QString());
    }
    Q_INVOKABLE QString home() const { return m_env.home(); }
    // Where the stand-in tools live; their scripts see it as "$dir".
    Q_INVOKABLE QString toolFolder() const { return m_tools.folder(); }
    Q_INVOKABLE void savePassword(const QString &id, const QString &password)
    {
        QCoro::waitFor(Keychain::savePassword(password, QUuid::fromString(id)));
    }
    // How a stand-in tool answers from now on ("hdiutil-imageinfo", "diskutil-verifyVolume", …).
    Q_INVOKABLE void respond(const QString &key, const QString &out, const QString &err, int status)
    {
        m_tools.respond(key, out.toUtf8(), err.toUtf8(), status);
    }
    // The stand-in tools: creating makes the bundle folder; attaching refuses the password.
    Q_INVOKABLE void refuseAttach(bool refuse) { m_tools.refuseAttach(refuse); }
    Q_INVOKABLE void script(const QString &key, const QString &body) { m_tools.script(key, body.toUtf8()); }
    // Owner authentication answers with this from now on and records the reasons it was asked.
    Q_INVOKABLE void answerOwnerAuthentication(bool answer) { m_owner.emplace().answer = answer; }
    Q_INVOKABLE QStringList ownerReasons() const { return m_owner ? m_owner->reasons : QStringList(); }
    // The "Add to Vault" window as the file manager opens it.
    Q_INVOKABLE QObject *showImport(const QStringList &files)
    {
        AppWindows::shared().showImport(files);
        return AppWindows::shared().window(u"ImportWindow"_s);
    }
    // The vault the stand-alone unlock window shows; empty when it is not on screen.
    Q_INVOKABLE QString promptWindowVault() const
    {
        QQuickWindow *window = UnlockPromptWindow::window();
        QObject *view = window && window->isVisible() ? window->findChild<QObject *>(u"unlockView"_s) : nullptr;
        return view ? view->property("vault").value<Vault>().name : QString();
    }
    // Every visual item below the root, itself included, with that object name.
    Q_INVOKABLE QList<QObject *> itemsNamed(QQuickItem *root, const QString &name) const
    {
        QList<QObject *> found;
        if (root && root->objectName() == name)
            found << root;
        for (QQuickItem *child : root ? root->childItems() : QList<QQuickItem *>())
            found << itemsNamed(child, name);
        return found;
    }
    // Every visual item below the root whose text is exactly that.
    Q_INVOKABLE QList<QObject *> itemsShowing(QQuickItem *root, const QString &text) const
    {
        QList<QObject *> found;
        if (root && root->property("text").toString() == text)
            found << root;
        for (QQuickItem *child : root ? root->childItems() : QList<QQuickItem *>())
            found << itemsShowing(child, text);
        return found;
    }
    // The texts of the visible items below the root.
    Q_INVOKABLE QStringList visibleTexts(QQuickItem *root) const
    {
        QStringList found;
        if (!root || !root->isVisible())
            return found;
        if (const QString text = root->property("text").toString(); !text.isEmpty())
            found << text;
        for (QQuickItem *child : root->childItems())
            found << visibleTexts(child);
        return found;
    }
    Q_INVOKABLE QString clipboardText() const { return QGuiApplication::clipboard()->text(); }
    Q_INVOKABLE int listedVaults() const { return int(VaultList::load(store().storeURL()).size()); }
    // Takes a vault off the list, as another window or the command line can.
    Q_INVOKABLE void forget(const QString &id)
    {
        QList<Vault> vaults = store().vaults();
        vaults.removeIf([&id](const Vault &vault) { return vault.idText() == id; });
        store().setVaults(vaults);
    }
    // A fresh preferences file: nothing stored, every default in force.
    Q_INVOKABLE void forgetPreferences()
    {
        for (const QString &key : UserDefaults::standard().storedValues().keys())
            UserDefaults::standard().removeValue(key);
    }
    Q_INVOKABLE QVariant storedPreference(const QString &key) const { return UserDefaults::standard().object(key); }
    Q_INVOKABLE QString autostartEntry() const { return LoginItem::entryPath(); }
    // The file's text; empty when there is none.
    Q_INVOKABLE QString fileText(const QString &path) const { return QString::fromUtf8(readAll(path)); }
    Q_INVOKABLE void writeFile(const QString &path, const QString &text) { writeAll(path, text.toUtf8()); }
    // A file or a whole folder.
    Q_INVOKABLE void removePath(const QString &path)
    {
        if (!QFile::remove(path))
            QDir(path).removeRecursively();
    }
    // The update server answers with this document from now on; alerts are recorded.
    Q_INVOKABLE void serveVersion(const QString &status, const QString &body)
    {
        m_versions.status = status.toUtf8();
        m_versions.body = body.toUtf8();
        qputenv("HOLLOWKEEP_UPDATE_SERVER", m_versions.address().toUtf8());
    }
    Q_INVOKABLE QStringList updateAlerts() const { return m_updateAlerts; }
    // The stand-in server's address, and how many requests reached it so far.
    Q_INVOKABLE QString serverAddress() const { return m_versions.address(); }
    Q_INVOKABLE int serverRequests() const { return int(m_versions.requests.size()); }
    bool startVersionServer()
    {
        UpdateChecker::setAlertPresenter([this](QString title, QString, UpdateChecker::Asker) -> QCoro::Task<UpdateChecker::AlertChoice> {
            m_updateAlerts << title;
            co_return UpdateChecker::AlertChoice::Later;
        });
        return m_versions.start();
    }

private:
    static VaultStore &store() { return VaultStore::shared(); }
    TestEnvironment &m_env;
    FakeTools &m_tools;
    QJSEngine *m_engine = nullptr;
    std::vector<std::unique_ptr<BusyMark>> m_busy;
    std::optional<ScriptedAuthentication> m_owner;
    VersionServer m_versions;
    QStringList m_updateAlerts;
};

class Setup : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    FakeTools m_tools;
    Fixture m_fixture{m_env, m_tools};

public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        m_tools.respondAttachAt(m_env.root() + u"/volume"_s);
        m_fixture.answerInfo(false);
        m_tools.script(u"hdiutil-create"_s, "mkdir -p \"${@: -1}\"\n");
        engine->addImportPath(u"qrc:/"_s);
        SettingsKeys::registerDefaults(UserDefaults::standard());
        m_fixture.startVersionServer();
        UnlockPromptWindow::setEngine(engine);
        AppWindows::shared().setEngine(engine);
        VaultStore::shared().setFileDialogs(&FileDialogs::shared());
        m_fixture.setEngine(engine);
        qmlRegisterSingletonInstance("Hollowkeep.Testing", 1, 0, "Fixture", &m_fixture);
    }
};

QUICK_TEST_MAIN_WITH_SETUP(qml, Setup)
#include "tst_qml.moc"

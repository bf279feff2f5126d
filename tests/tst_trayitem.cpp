// The tray item as a desktop's tray host sees it: a StatusNotifierItem on a private D-Bus session
// with a small StatusNotifierWatcher, its image, its activation and its exported menu, following
// the settings while it runs.

#include "FakeTools.h"
#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"
#include "ui/TrayItem.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QMenu>
#include <QMutex>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

// The tray host's side: answers in a thread of its own, since Qt asks it synchronously.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    [[nodiscard]] bool hostRegistered() const { return true; }
    [[nodiscard]] int protocolVersion() const { return 0; }
    [[nodiscard]] QStringList items() const
    {
        QMutexLocker lock(&m_mutex);
        return m_items;
    }

public Q_SLOTS:
    bool setUp()
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"watcher"_s);
        return bus.registerObject(u"/StatusNotifierWatcher"_s, this, QDBusConnection::ExportAllContents) &&
               bus.registerService(u"org.kde.StatusNotifierWatcher"_s);
    }
    void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
    {
        QMutexLocker lock(&m_mutex);
        m_items << (service.startsWith(u'/') ? message.service() : service);
    }
    void RegisterStatusNotifierHost(const QString &) {}

private:
    mutable QMutex m_mutex;
    QStringList m_items;
};

namespace {

// The labels of a DBusMenu layout (id, properties, children), separators as "-", depth first;
// marked "disabled:" or "checked:" as the host shows them.
void collectLabels(const QDBusArgument &layout, QStringList &labels)
{
    int id = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    if (properties.value(u"type"_s).toString() == "separator"_L1)
        labels << u"-"_s;
    else if (properties.contains(u"label"_s))
        labels << (properties.value(u"enabled"_s, true).toBool() ? QString() : u"disabled:"_s) +
                      (properties.value(u"toggle-state"_s).toInt() == 1 ? u"checked:"_s : QString()) +
                      properties.value(u"label"_s).toString();
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        collectLabels(child.variant().value<QDBusArgument>(), labels);
    }
    layout.endArray();
    layout.endStructure();
}

} // namespace

class TestTrayItem : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    FakeTools m_tools;
    QThread m_watcherThread;
    Watcher *m_watcher = new Watcher;
    QQmlEngine m_engine;
    QString m_item;

    static UserDefaults &defaults() { return UserDefaults::standard(); }

    // A call to the item; the nested event loop lets the item (on its own connection in this
    // thread) answer.
    QDBusMessage callItem(const QString &path, const QString &interface, const QString &method,
                          const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(m_item, path, interface, method);
        call.setArguments(arguments);
        QDBusPendingCallWatcher watcher(QDBusConnection::sessionBus().asyncCall(call, 5000));
        QSignalSpy finished(&watcher, &QDBusPendingCallWatcher::finished);
        if (!watcher.isFinished())
            finished.wait(6000);
        return watcher.reply();
    }
    QVariant itemProperty(const QString &name)
    {
        const QDBusMessage reply =
            callItem(u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s,
                     {u"org.kde.StatusNotifierItem"_s, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    // The image as the host gets it: its name and the bytes of every pixmap.
    QByteArray image()
    {
        QByteArray bytes = itemProperty(u"IconName"_s).toString().toUtf8();
        const QDBusArgument pixmaps = itemProperty(u"IconPixmap"_s).value<QDBusArgument>();
        pixmaps.beginArray();
        while (!pixmaps.atEnd()) {
            int width = 0;
            int height = 0;
            QByteArray data;
            pixmaps.beginStructure();
            pixmaps >> width >> height >> data;
            pixmaps.endStructure();
            bytes += data;
        }
        pixmaps.endArray();
        return bytes;
    }
    QStringList menuLabels()
    {
        const QString menu = itemProperty(u"Menu"_s).value<QDBusObjectPath>().path();
        const QDBusMessage layout = callItem(menu, u"com.canonical.dbusmenu"_s, u"GetLayout"_s,
                                             {0, -1, QStringList()});
        QStringList labels;
        if (layout.arguments().size() == 2)
            collectLabels(layout.arguments().at(1).value<QDBusArgument>(), labels);
        return labels;
    }
    void activate() { callItem(u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"Activate"_s, {0, 0}); }
    [[nodiscard]] bool itemOnBus() const
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(m_item).value();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The host must be there before the tray icon asks for one.
        m_watcher->moveToThread(&m_watcherThread);
        m_watcherThread.start();
        bool registered = false;
        QMetaObject::invokeMethod(m_watcher, "setUp", Qt::BlockingQueuedConnection,
                                  Q_RETURN_ARG(bool, registered));
        QVERIFY(registered);
        SettingsKeys::registerDefaults(defaults());
        m_tools.respondAttachAt(m_env.root() + u"/volume"_s);
        m_engine.addImportPath(u"qrc:/"_s);
        TrayItem::shared().start(&m_engine, [] { return nullptr; }, [] {});
        QTRY_VERIFY(!m_watcher->items().isEmpty());
        m_item = m_watcher->items().constLast();
        QVERIFY(TrayItem::shared().shown());
    }
    void cleanupTestCase()
    {
        QCoro::waitFor(VaultStore::shared().lockAll(true, u"quit"_s));
        QMetaObject::invokeMethod(m_watcher, &QObject::deleteLater);
        m_watcherThread.quit();
        m_watcherThread.wait();
    }

    // The image turns to the open lock with the first unlocked vault and back with the last; the
    // exported menu follows the vaults too.
    void imageFollowsUnlockedVaults()
    {
        VaultStore &store = VaultStore::shared();
        const Vault first = testVault(u"First"_s, m_env.home() + u"/First.sparsebundle"_s);
        const Vault second = testVault(u"Second"_s, m_env.home() + u"/Second.sparsebundle"_s);
        for (const Vault &vault : {first, second}) {
            QDir().mkpath(vault.bundlePath);
            store.appendVault(vault);
        }
        const QByteArray locked = image();
        QVERIFY(!locked.isEmpty());
        QVERIFY(QCoro::waitFor(store.unlock(first, u"pw"_s, false, u"password"_s)));
        QTRY_VERIFY(image() != locked);
        const QByteArray open = image();
        QVERIFY(QCoro::waitFor(store.unlock(second, u"pw"_s, false, u"password"_s)));
        QCoro::waitFor(store.lock(first, false, u"manual"_s));
        QCOMPARE(image(), open);
        // An unlocked vault stands out in the menu even where a panel shows no icons.
        const QStringList withOneOpen = menuLabels();
        QVERIFY2(withOneOpen.contains(u"checked:Second"_s) && withOneOpen.contains(u"Unlock “First”"_s),
                 qPrintable(withOneOpen.join(u" | "_s)));
        QCoro::waitFor(store.lock(second, false, u"manual"_s));
        QTRY_COMPARE(image(), locked);
        // The context menu a host shows is the plain menu, with Lock All disabled while all is locked.
        const QStringList labels = menuLabels();
        for (const QString &entry : {u"Unlock “First”"_s, u"disabled:Lock All"_s, u"Add Existing Vault…"_s,
                                     u"Open Hollowkeep"_s, u"Settings…"_s, u"What’s New…"_s, u"About…"_s,
                                     u"Quit Hollowkeep"_s})
            QVERIFY2(labels.contains(entry), qPrintable(labels.join(u" | "_s)));
    }

    // Activation opens the panel, or the plain menu once the setting says so, without a restart.
    void activationFollowsThePanelSetting()
    {
        defaults().setValue(SettingsKeys::menuBarPanel, true);
        activate();
        QTRY_VERIFY(TrayItem::shared().panel() && TrayItem::shared().panel()->isVisible());
        defaults().setValue(SettingsKeys::menuBarPanel, false);
        QTRY_VERIFY(!TrayItem::shared().panel()->isVisible());
        // The menu opens at the pointer (a grab the test's X server may refuse right away).
        QSignalSpy menuOpens(TrayItem::shared().content()->menu(), &QMenu::aboutToShow);
        activate();
        QTRY_COMPARE(menuOpens.count(), 1);
        QVERIFY(!TrayItem::shared().panel()->isVisible());
        TrayItem::shared().content()->menu()->hide();
        // Turned off, the item leaves the tray; turned on again, it comes back.
        QVERIFY(itemOnBus());
        defaults().setValue(SettingsKeys::menuBarIcon, false);
        QTRY_VERIFY(!itemOnBus());
        QVERIFY(!TrayItem::shared().shown());
        defaults().setValue(SettingsKeys::menuBarIcon, true);
        QTRY_VERIFY(TrayItem::shared().shown());
    }
};

QTEST_MAIN(TestTrayItem)
#include "tst_trayitem.moc"

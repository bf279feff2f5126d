// The panic shortcut on a real X server: pressed by another client, it locks real vaults.

#include "StoreHarness.h"
#include "platform/SettingsKeys.h"
#include "platform/PanicHotKey.h"

#include <QGuiApplication>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QProcess>
#include <QTimer>

#include <xcb/xcb.h>

using namespace PanicHotKey;

// One shortcut as the portal receives it: (id, properties).
struct BoundShortcut
{
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(BoundShortcut)

QDBusArgument &operator<<(QDBusArgument &argument, const BoundShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, BoundShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

// The desktop's GlobalShortcuts portal: opens a session, takes the binding, reports presses.
class ShortcutsPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")

public:
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"portal"_s);
    const QString session = u"/org/freedesktop/portal/desktop/session/test/hollowkeep"_s;
    QString trigger;
    bool closed = false;

    bool registerOnBus()
    {
        qDBusRegisterMetaType<BoundShortcut>();
        qDBusRegisterMetaType<QList<BoundShortcut>>();
        return bus.registerObject(u"/org/freedesktop/portal/desktop"_s, this, QDBusConnection::ExportAllSlots) &&
               bus.registerObject(session, u"org.freedesktop.portal.Session"_s, this,
                                  QDBusConnection::ExportAllSlots) &&
               bus.registerService(u"org.freedesktop.portal.Desktop"_s);
    }
    bool press()
    {
        QDBusMessage activated = QDBusMessage::createSignal(u"/org/freedesktop/portal/desktop"_s,
                                                            u"org.freedesktop.portal.GlobalShortcuts"_s,
                                                            u"Activated"_s);
        activated << QVariant::fromValue(QDBusObjectPath(session)) << u"panic"_s << qulonglong(0) << QVariantMap();
        return bus.send(activated);
    }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message)
    {
        return answerPortalRequest(bus, this, message, options, {{u"session_handle"_s, session}});
    }
    QDBusObjectPath BindShortcuts(const QDBusObjectPath &, const QList<BoundShortcut> &shortcuts, const QString &,
                                  const QVariantMap &options, const QDBusMessage &message)
    {
        for (const BoundShortcut &shortcut : shortcuts) {
            if (shortcut.id == "panic"_L1)
                trigger = shortcut.properties.value(u"preferred_trigger"_s).toString();
        }
        return answerPortalRequest(bus, this, message, options, {});
    }
    void Close() { closed = true; }

};

class TestPanicHotKey : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    const QByteArray m_password = "panic-pass";

    // Another client presses keys, as the user would anywhere on the desktop.
    static bool press(const QString &keys)
    {
        return QProcess::execute(u"xdotool"_s, {u"key"_s, keys}) == 0;
    }

private Q_SLOTS:
    // A press locks every unlocked vault, as the application wires it.
    void initTestCase()
    {
        connect(&presses(), &Presses::pressed, this, [] { VaultStore::shared().lockAll(true, u"panic shortcut"_s); });
    }
    void cleanup()
    {
        detachEverything(m_env.root());
        clearFolders(m_env);
    }

    // Recording what the settings view does not try (it records Ctrl+Alt+K and shows Escape, Shift
    // and bare keys recording on): Escape with a modifier, a key without a code here, a named key
    // with Super and Shift, whose mask is the one earlier releases stored.
    void recordingRule()
    {
        QCOMPARE(record(Qt::Key_Escape, Qt::ControlModifier).step, Recording::Cancel);
        QCOMPARE(record(Qt::Key_Print, Qt::ControlModifier).step, Recording::KeepRecording);
        const RecordedShortcut stored = record(Qt::Key_F5, Qt::MetaModifier | Qt::ShiftModifier | Qt::KeypadModifier);
        QCOMPARE(stored.step, Recording::Store);
        QCOMPARE(stored.mask, 768);
        QCOMPARE(modifierSymbols(stored.mask) + stored.label, u"Shift+Super+F5"_s);

        // Any key with Ctrl, Alt or Super is stored, named keys, the keypad, F13 and up, and a
        // symbol typed with Shift (as the key under it), each as a key the shortcut can grab.
        const QList<std::tuple<int, Qt::KeyboardModifiers, QString>> keys{
            {Qt::Key_Return, Qt::ControlModifier, u"Ctrl+Return"_s},
            {Qt::Key_Tab, Qt::AltModifier, u"Alt+Tab"_s},
            {Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, u"Ctrl+Shift+Tab"_s},
            {Qt::Key_Delete, Qt::MetaModifier, u"Super+Delete"_s},
            {Qt::Key_Home, Qt::ControlModifier, u"Ctrl+Home"_s},
            {Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier, u"Ctrl+Num 1"_s},
            {Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier, u"Ctrl+Num Enter"_s},
            {Qt::Key_F13, Qt::AltModifier, u"Alt+F13"_s},
            {Qt::Key_Exclam, Qt::ControlModifier | Qt::ShiftModifier, u"Ctrl+Shift+1"_s},
        };
        for (const auto &[key, modifiers, shown] : keys) {
            const RecordedShortcut recorded = record(key, modifiers);
            QCOMPARE(recorded.step, Recording::Store);
            QCOMPARE(modifierSymbols(recorded.mask) + recorded.label, shown);
            QVERIFY2(keysymForKeyCode(recorded.keyCode) != 0, qPrintable(shown));
        }
        QCOMPARE(record(Qt::Key_Return, Qt::ShiftModifier).step, Recording::KeepRecording);
    }

    // Ctrl+Alt+Super+L from another client locks every unlocked vault, quietly, as "panic
    // shortcut"; switched off, the same keys do nothing; switched on again, they work again.
    void pressLocksEverything()
    {
        SettingsKeys::registerDefaults(UserDefaults::standard());
        // The shortcut locks the program's own store.
        QList<Vault> vaults;
        for (const char *name : {"One", "Two"}) {
            vaults << listNewVault(VaultStore::shared(), m_env.home(), QLatin1String(name), m_password);
            QVERIFY(QCoro::waitFor(VaultStore::shared().unlock(vaults.last(), QString::fromUtf8(m_password), false,
                                                                u"password"_s)));
        }
        // Following the settings: a change of the switch grabs or releases at once.
        follow(UserDefaults::standard());
        QCOMPARE(grabbedVariants(), 4);

        UserDefaults::standard().setValue(SettingsKeys::panicEnabled, false);
        QTRY_COMPARE(grabbedVariants(), 0);
        QVERIFY(press(u"ctrl+alt+super+l"_s));
        QTest::qWait(500);
        QCOMPARE(VaultStore::shared().mountPoints().size(), 2);

        UserDefaults::standard().setValue(SettingsKeys::panicEnabled, true);
        QTRY_COMPARE(grabbedVariants(), 4);
        QVERIFY(press(u"ctrl+alt+super+l"_s));
        QTRY_VERIFY_WITH_TIMEOUT(VaultStore::shared().mountPoints().isEmpty(), 30000);
        QCOMPARE(textsOf(VaultStore::shared().activity()).mid(0, 2),
                 (QStringList{u"Two locked (panic shortcut)"_s, u"One locked (panic shortcut)"_s}));
        QVERIFY(fuseMountsBelow(m_env.root()).isEmpty());
    }

    // No modifier, or a key the table does not know, grabs nothing; a combination another
    // program holds is refused without harm.
    void whatIsNotGrabbed()
    {
        UserDefaults &defaults = UserDefaults::standard();
        defaults.setValue(SettingsKeys::panicModifiers, 0);
        update(defaults);
        QCOMPARE(grabbedVariants(), 0);
        defaults.setValue(SettingsKeys::panicModifiers, 6400);
        defaults.setValue(SettingsKeys::panicKeyCode, 10);
        update(defaults);
        QCOMPARE(grabbedVariants(), 0);

        defaults.setValue(SettingsKeys::panicKeyCode, 40); // K
        xcb_connection_t *other = xcb_connect(nullptr, nullptr);
        QVERIFY(!xcb_connection_has_error(other));
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
        // The K key's code on this keyboard, through the program's own path: grab, read, release.
        update(defaults);
        QCOMPARE(grabbedVariants(), 4);
        defaults.setValue(SettingsKeys::panicEnabled, false);
        update(defaults);
        xcb_void_cookie_t held = xcb_grab_key_checked(other, 1, root, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4,
                                                      XCB_GRAB_ANY, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        QVERIFY(!xcb_request_check(other, held));
        defaults.setValue(SettingsKeys::panicEnabled, true);
        update(defaults);
        QVERIFY(grabbedVariants() < 4);
        xcb_disconnect(other);
    }

    // On Wayland the binding goes through the portal: the desktop's trigger form, a press reported
    // by the portal locks, switching off closes the session.
    void portalBindsTheShortcut()
    {
        ShortcutsPortal portal;
        QVERIFY(portal.registerOnBus());
        qputenv("HOLLOWKEEP_SHORTCUTS", "portal");
        UserDefaults &defaults = UserDefaults::standard();
        defaults.setValue(SettingsKeys::panicKeyCode, 37);
        defaults.setValue(SettingsKeys::panicModifiers, 6400);
        const Vault vault = listNewVault(VaultStore::shared(), m_env.home(), u"Three"_s, m_password);
        QVERIFY(QCoro::waitFor(VaultStore::shared().unlock(vault, QString::fromUtf8(m_password), false, u"password"_s)));

        update(defaults);
        QCOMPARE(grabbedVariants(), 0);
        QTRY_VERIFY(portalSessionOpen());
        QTRY_COMPARE(portal.trigger, u"CTRL+ALT+LOGO+l"_s);
        QVERIFY(portal.press());
        QTRY_VERIFY_WITH_TIMEOUT(VaultStore::shared().mountPoints().isEmpty(), 30000);
        QCOMPARE(VaultStore::shared().activity().first().text, u"Three locked (panic shortcut)"_s);

        defaults.setValue(SettingsKeys::panicEnabled, false);
        update(defaults);
        QTRY_VERIFY(portal.closed);
        QVERIFY(!portalSessionOpen());
        qunsetenv("HOLLOWKEEP_SHORTCUTS");
    }
};

QTEST_MAIN(TestPanicHotKey)
#include "tst_panichotkey.moc"

// The panic shortcut on a real X server: pressed by another client, it locks real vaults.

#include "StoreHarness.h"
#include "app/SettingsKeys.h"
#include "platform/PanicHotKey.h"

#include <QGuiApplication>
#include <QProcess>

#include <xcb/xcb.h>

using namespace PanicHotKey;

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
    void cleanup()
    {
        detachEverything(m_env.root());
        clearFolders(m_env);
    }

    void helpers_data()
    {
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("mask");
        QTest::addColumn<QString>("symbols");
        QTest::newRow("Super+Shift") << int(Qt::MetaModifier | Qt::ShiftModifier) << 768 << "Shift+Super+";
        QTest::newRow("Ctrl+Alt+Super") << int(Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier) << 6400
                                        << "Ctrl+Alt+Super+";
        QTest::newRow("keypad only") << int(Qt::KeypadModifier) << 0 << "";
    }
    void helpers()
    {
        QFETCH(int, modifiers);
        QFETCH(int, mask);
        QFETCH(QString, symbols);
        QCOMPARE(carbonModifiers(Qt::KeyboardModifiers(modifiers)), mask);
        QCOMPARE(modifierSymbols(mask), symbols);
        QCOMPARE(keysymForKeyCode(37), std::uint32_t('l'));
        QCOMPARE(keyCodeForQtKey(Qt::Key_L), 37);
        QCOMPARE(keysymForKeyCode(10), 0u);
    }

    // Ctrl+Alt+Super+L from another client locks every unlocked vault, quietly, as "panic
    // shortcut"; switched off, the same keys do nothing.
    void pressLocksEverything()
    {
        SettingsKeys::registerDefaults(UserDefaults::standard());
        // The shortcut locks the program's own store.
        QList<Vault> vaults;
        for (const char *name : {"One", "Two"}) {
            const QString path = m_env.home() + u'/' + QLatin1String(name) + u".sparsebundle"_s;
            QCOMPARE(createVault(path, QLatin1String(name), 64, m_password).status, 0);
            vaults << testVault(QLatin1String(name), path, 64);
            VaultStore::shared().appendVault(vaults.last());
            QVERIFY(QCoro::waitFor(VaultStore::shared().unlock(vaults.last(), QString::fromUtf8(m_password), false,
                                                                u"password"_s)));
        }
        update(UserDefaults::standard());
        update(UserDefaults::standard());
        QCOMPARE(grabbedVariants(), 4);

        UserDefaults::standard().setValue(SettingsKeys::panicEnabled, false);
        update(UserDefaults::standard());
        QCOMPARE(grabbedVariants(), 0);
        QVERIFY(press(u"ctrl+alt+super+l"_s));
        QTest::qWait(500);
        QCOMPARE(VaultStore::shared().mountPoints().size(), 2);

        UserDefaults::standard().setValue(SettingsKeys::panicEnabled, true);
        update(UserDefaults::standard());
        QVERIFY(press(u"ctrl+alt+super+l"_s));
        QTRY_VERIFY_WITH_TIMEOUT(VaultStore::shared().mountPoints().isEmpty(), 30000);
        QStringList texts;
        for (const ActivityEvent &event : VaultStore::shared().activity())
            texts << event.text;
        QCOMPARE(texts.mid(0, 2), (QStringList{u"Two locked (panic shortcut)"_s, u"One locked (panic shortcut)"_s}));
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
};

QTEST_MAIN(TestPanicHotKey)
#include "tst_panichotkey.moc"

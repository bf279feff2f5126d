// The stand-alone unlock window: one at a time, closing rules, typed passwords and refusals, over
// the application's store with stand-in disk-image tools.

#include "FakeTools.h"
#include "WindowDriver.h"
#include "platform/Keychain.h"
#include "store/VaultStore.h"
#include "ui/UnlockPromptWindow.h"

#include <QQmlEngine>
#include <QSignalSpy>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

using namespace WindowDriver;

class TestUnlockPrompt : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    FakeTools m_tools;
    std::unique_ptr<QQmlEngine> m_engine;
    Vault m_first;
    Vault m_second;

    static VaultStore &store() { return VaultStore::shared(); }

    Vault listVault(const QString &name)
    {
        Vault vault = testVault(name, m_env.home() + u'/' + name + u".sparsebundle"_s);
        vault.passwordHint = u"the usual"_s;
        QDir().mkpath(vault.bundlePath);
        store().appendVault(vault);
        return vault;
    }
    // The prompt windows on screen.
    static QList<QQuickWindow *> shownPrompts()
    {
        QList<QQuickWindow *> prompts;
        for (QWindow *window : QGuiApplication::topLevelWindows()) {
            if (window->isVisible() && window->title() == "Unlock Vault"_L1)
                prompts << qobject_cast<QQuickWindow *>(window);
        }
        return prompts;
    }
    static QObject *view(QQuickWindow *window) { return window->findChild<QObject *>(u"unlockView"_s); }
    static QString heading(QQuickWindow *window)
    {
        return u"Unlock “"_s + view(window)->property("vault").value<Vault>().name + u"”"_s;
    }
    QQuickWindow *showPrompt(const Vault &vault)
    {
        UnlockPromptWindow::show(vault);
        QQuickWindow *window = UnlockPromptWindow::window();
        if (window && !QTest::qWaitForWindowExposed(window))
            return nullptr;
        return window;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_tools.refuseAttach(false);
        m_engine = std::make_unique<QQmlEngine>();
        m_engine->addImportPath(u"qrc:/"_s);
        UnlockPromptWindow::setEngine(m_engine.get());
        m_first = listVault(u"Letters"_s);
        m_second = listVault(u"Taxes"_s);
    }
    void cleanup()
    {
        UnlockPromptWindow::close();
        QTRY_VERIFY(shownPrompts().isEmpty());
        QCoro::waitFor(store().lockAll(true, u"quit"_s));
        store().setErrorMessage(std::nullopt);
        m_tools.refuseAttach(false);
    }

    void showingTwiceLeavesOneWindowForTheSecondVault()
    {
        QVERIFY(showPrompt(m_first));
        QQuickWindow *window = showPrompt(m_second);
        QVERIFY(window);
        QTRY_COMPARE(shownPrompts().size(), 1);
        QCOMPARE(shownPrompts().first(), window);
        QCOMPARE(view(window)->property("vault").value<Vault>().id, m_second.id);
        QCOMPARE(heading(window), u"Unlock “Taxes”"_s);
        // Title bar and close button only, at the sheet's fixed size.
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->size(), window->minimumSize());
        QVERIFY(!(window->flags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(window->flags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window->flags() & Qt::WindowCloseButtonHint);
        QCOMPARE(findItem(view(window), u"hint"_s)->property("text").toString(), u"Hint: the usual"_s);
    }

    // A refused password keeps the window with the password as typed and shows why; the right one
    // unlocks, closes the window and, with the toggle off, saves nothing.
    void typedPasswordUnlocksAndCloses()
    {
        QQuickWindow *window = showPrompt(m_first);
        QVERIFY(window);
        QQuickItem *field = findItem(view(window), u"passwordField"_s);
        QVERIFY(field);
        QTRY_VERIFY(field->hasActiveFocus());
        // Return with nothing typed does nothing.
        press(window, Qt::Key_Return);
        QVERIFY(!view(window)->property("working").toBool());
        QVERIFY(!findItem(view(window), u"unlockButton"_s)->isEnabled());

        m_tools.refuseAttach(true);
        type(field, u"wrong horse"_s);
        press(window, Qt::Key_Return);
        QObject *alert = window->findChild<QObject *>(u"errorAlert"_s);
        QTRY_VERIFY(alert->property("opened").toBool());
        QCOMPARE(findItem(alert, u"alertMessage"_s)->property("text").toString(),
                 u"Wrong password for “Letters”."_s);
        QCOMPARE(UnlockPromptWindow::window(), window);
        QCOMPARE(field->property("text").toString(), u"wrong horse"_s);
        click(findItem(alert, u"alertButton_OK"_s));
        QTRY_VERIFY(!store().errorMessage());

        m_tools.refuseAttach(false);
        type(field, u"battery staple"_s);
        click(findItem(view(window), u"unlockButton"_s));
        QTRY_VERIFY(store().mountPoints().contains(m_first.id));
        QTRY_VERIFY(shownPrompts().isEmpty());
        QVERIFY(!UnlockPromptWindow::window());
        QVERIFY(!QCoro::waitFor(Keychain::password(m_first.id)));
        // The tool got the typed password on its standard input.
        const QList<FakeTools::Call> calls = m_tools.calls();
        const auto attach = std::find_if(calls.rbegin(), calls.rend(),
                                         [](const FakeTools::Call &call) { return call.arguments.value(0) == "attach"_L1; });
        QVERIFY(attach != calls.rend() && attach->input == "battery staple");
    }

    // Cancel and Escape close and forget the window; the title bar's close button hides it, keeps
    // it for the next prompt and drops the typed password.
    void closingRules()
    {
        QQuickWindow *window = showPrompt(m_first);
        QVERIFY(window);
        click(findItem(view(window), u"cancelButton"_s));
        QTRY_VERIFY(shownPrompts().isEmpty());
        QVERIFY(!UnlockPromptWindow::window());

        window = showPrompt(m_first);
        press(window, Qt::Key_Escape);
        QTRY_VERIFY(shownPrompts().isEmpty());
        QVERIFY(!UnlockPromptWindow::window());

        window = showPrompt(m_second);
        QQuickItem *field = findItem(view(window), u"passwordField"_s);
        type(field, u"half typed"_s);
        window->close();
        QTRY_VERIFY(shownPrompts().isEmpty());
        QCOMPARE(UnlockPromptWindow::window(), window);
        QCOMPARE(field->property("text").toString(), QString());
        QVERIFY(!store().mountPoints().contains(m_second.id));
    }
};

QTEST_MAIN(TestUnlockPrompt)
#include "tst_unlockprompt.moc"

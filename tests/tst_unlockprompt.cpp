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
        Vault vault;
        vault.id = QUuid::createUuid();
        vault.name = name;
        vault.maxSizeMB = 1024;
        vault.passwordHint = QStringLiteral("the usual");
        vault.openInFinderAfterUnlock = false;
        vault.createdAt = Timestamp::now();
        vault.bundlePath = m_env.home() + QLatin1Char('/') + name + QStringLiteral(".sparsebundle");
        QDir().mkpath(vault.bundlePath);
        store().appendVault(vault);
        return vault;
    }
    // The prompt windows on screen.
    static QList<QQuickWindow *> shownPrompts()
    {
        QList<QQuickWindow *> prompts;
        for (QWindow *window : QGuiApplication::topLevelWindows()) {
            if (window->isVisible() && window->title() == QLatin1String("Unlock Vault"))
                prompts << qobject_cast<QQuickWindow *>(window);
        }
        return prompts;
    }
    static QObject *view(QQuickWindow *window) { return window->findChild<QObject *>(QStringLiteral("unlockView")); }
    static QString heading(QQuickWindow *window)
    {
        return QStringLiteral("Unlock “") + view(window)->property("vault").value<Vault>().name +
               QStringLiteral("”");
    }
    QQuickWindow *showPrompt(const Vault &vault)
    {
        UnlockPromptWindow::show(vault);
        QQuickWindow *window = UnlockPromptWindow::window();
        if (window && !QTest::qWaitForWindowExposed(window))
            return nullptr;
        return window;
    }
    void refuseAttach(bool refuse)
    {
        if (refuse)
            m_tools.respondAttachRefused();
        else
            m_tools.respondAttachAt(m_env.root() + QStringLiteral("/volume"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        refuseAttach(false);
        m_engine = std::make_unique<QQmlEngine>();
        m_engine->addImportPath(QStringLiteral("qrc:/"));
        UnlockPromptWindow::setEngine(m_engine.get());
        m_first = listVault(QStringLiteral("Letters"));
        m_second = listVault(QStringLiteral("Taxes"));
    }
    void cleanup()
    {
        UnlockPromptWindow::close();
        QTRY_VERIFY(shownPrompts().isEmpty());
        QCoro::waitFor(store().lockAll(true, QStringLiteral("quit")));
        store().setErrorMessage(std::nullopt);
        refuseAttach(false);
    }

    void showingTwiceLeavesOneWindowForTheSecondVault()
    {
        QVERIFY(showPrompt(m_first));
        QQuickWindow *window = showPrompt(m_second);
        QVERIFY(window);
        QTRY_COMPARE(shownPrompts().size(), 1);
        QCOMPARE(shownPrompts().first(), window);
        QCOMPARE(view(window)->property("vault").value<Vault>().id, m_second.id);
        QCOMPARE(heading(window), QStringLiteral("Unlock “Taxes”"));
        // Title bar and close button only, at the sheet's fixed size.
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->size(), window->minimumSize());
        QVERIFY(!(window->flags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(window->flags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window->flags() & Qt::WindowCloseButtonHint);
        QCOMPARE(findItem(view(window), QStringLiteral("hint"))->property("text").toString(),
                 QStringLiteral("Hint: the usual"));
    }

    // A refused password keeps the window with the password as typed and shows why; the right one
    // unlocks, closes the window and, with the toggle off, saves nothing.
    void typedPasswordUnlocksAndCloses()
    {
        QQuickWindow *window = showPrompt(m_first);
        QVERIFY(window);
        QQuickItem *field = findItem(view(window), QStringLiteral("passwordField"));
        QVERIFY(field);
        QTRY_VERIFY(field->hasActiveFocus());
        // Return with nothing typed does nothing.
        press(window, Qt::Key_Return);
        QVERIFY(!view(window)->property("working").toBool());
        QVERIFY(!findItem(view(window), QStringLiteral("unlockButton"))->isEnabled());

        refuseAttach(true);
        type(field, QStringLiteral("wrong horse"));
        press(window, Qt::Key_Return);
        QObject *alert = window->findChild<QObject *>(QStringLiteral("errorAlert"));
        QTRY_VERIFY(alert->property("opened").toBool());
        QCOMPARE(findItem(alert, QStringLiteral("alertMessage"))->property("text").toString(),
                 QStringLiteral("Wrong password for “Letters”."));
        QCOMPARE(UnlockPromptWindow::window(), window);
        QCOMPARE(field->property("text").toString(), QStringLiteral("wrong horse"));
        click(findItem(alert, QStringLiteral("alertButton_OK")));
        QTRY_VERIFY(!store().errorMessage());

        refuseAttach(false);
        type(field, QStringLiteral("battery staple"));
        click(findItem(view(window), QStringLiteral("unlockButton")));
        QTRY_VERIFY(store().mountPoints().contains(m_first.id));
        QTRY_VERIFY(shownPrompts().isEmpty());
        QVERIFY(!UnlockPromptWindow::window());
        QVERIFY(!QCoro::waitFor(Keychain::password(m_first.id)));
        // The tool got the typed password on its standard input.
        QByteArray attachInput;
        for (const FakeTools::Call &call : m_tools.calls()) {
            if (call.tool == QLatin1String("hdiutil") && call.arguments.value(0) == QLatin1String("attach"))
                attachInput = call.input;
        }
        QCOMPARE(attachInput, QByteArray("battery staple"));
    }

    // Cancel and Escape close and forget the window; the title bar's close button hides it, keeps
    // it for the next prompt and drops the typed password.
    void closingRules()
    {
        QQuickWindow *window = showPrompt(m_first);
        QVERIFY(window);
        click(findItem(view(window), QStringLiteral("cancelButton")));
        QTRY_VERIFY(shownPrompts().isEmpty());
        QVERIFY(!UnlockPromptWindow::window());

        window = showPrompt(m_first);
        press(window, Qt::Key_Escape);
        QTRY_VERIFY(shownPrompts().isEmpty());
        QVERIFY(!UnlockPromptWindow::window());

        window = showPrompt(m_second);
        QQuickItem *field = findItem(view(window), QStringLiteral("passwordField"));
        type(field, QStringLiteral("half typed"));
        window->close();
        QTRY_VERIFY(shownPrompts().isEmpty());
        QCOMPARE(UnlockPromptWindow::window(), window);
        QCOMPARE(field->property("text").toString(), QString());
        QVERIFY(!store().mountPoints().contains(m_second.id));
    }
};

QTEST_MAIN(TestUnlockPrompt)
#include "tst_unlockprompt.moc"

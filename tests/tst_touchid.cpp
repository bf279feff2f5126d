#include "platform/TouchID.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

// Owner authentication against a real polkitd, as an ordinary user (see with-polkit.sh), with
// polkit's own text agent answering on a terminal of its own.
class TestTouchID : public QObject
{
    Q_OBJECT

    // The login password of the user with-polkit.sh creates.
    const QByteArray m_loginPassword = "owner-pass";

private Q_SLOTS:
    void withoutAnAgentItSaysSo()
    {
        const TouchID::Answer answer = QCoro::waitFor(TouchID::ask(u"unlock the vault “A”"_s));
        QVERIFY(!answer.authorized);
        QVERIFY2(answer.problem.startsWith(u"No authentication agent is running"_s),
                 qPrintable(answer.problem));
    }

    void theAgentAsksForTheLoginPassword_data()
    {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<bool>("authorized");
        QTest::newRow("right password") << m_loginPassword << true;
        QTest::newRow("wrong password") << QByteArray("not-it") << false;
    }

    void theAgentAsksForTheLoginPassword()
    {
        QFETCH(QByteArray, typed);
        QFETCH(bool, authorized);
        QProcess agent;
        agent.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray screen;
        bool answered = false;
        connect(&agent, &QProcess::readyRead, this, [&] {
            screen += agent.readAll();
            // Typed once the prompt has turned echo off (which discards earlier input).
            if (!answered && screen.contains("Password:")) {
                answered = true;
                QTimer::singleShot(300, this, [&] { agent.write(typed + '\n'); });
            }
        });
        agent.start(u"script"_s,
                    {u"-qfc"_s, u"pkttyagent --process %1"_s.arg(QCoreApplication::applicationPid()),
                     u"/dev/null"_s});
        QVERIFY(agent.waitForStarted());
        // The terminal's program is ended with the agent: a stale agent would answer the next row.
        const auto stop = qScopeGuard([&] {
            const QString pattern = u"^pkttyagent --process %1$"_s.arg(QCoreApplication::applicationPid());
            QProcess::execute(u"pkill"_s, {u"-f"_s, pattern});
            agent.kill();
            agent.waitForFinished();
            (void)QTest::qWaitFor([&] { return QProcess::execute(u"pgrep"_s, {u"-f"_s, pattern}) != 0; }, 5000);
        });
        // The agent registers a moment after it starts: ask until it is there.
        TouchID::Answer answer;
        QVERIFY(QTest::qWaitFor(
            [&] {
                answer = QCoro::waitFor(TouchID::ask(u"unlock the vault “A”"_s));
                return answer.problem.isEmpty();
            },
            10000));
        QCOMPARE(answer.authorized, authorized);
        // The prompt shows the action's own message.
        QVERIFY2(screen.contains("Authentication is required to use a saved vault password"),
                 screen.constData());
    }
};

QTEST_GUILESS_MAIN(TestTouchID)
#include "tst_touchid.moc"

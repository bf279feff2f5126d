#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <functional>

// Owner authentication before a saved password is used. On Linux it asks polkit to authenticate
// the user as themselves (action org.hollowkeep.owner-authentication, installed where polkitd reads
// actions); every call prompts afresh. polkitd takes no details from callers that are not root, so
// the prompt shows the action's own message, never a reason of the caller's.
namespace TouchID {

inline constexpr auto actionId = "org.hollowkeep.owner-authentication";

struct Answer
{
    bool authorized = false;
    // Why nobody could be asked (no polkit, no authentication agent), in plain words; empty when
    // the user was asked and answered.
    QString problem;
};

QCoro::Task<Answer> ask(QString reason);
// Only whether the user was authenticated.
QCoro::Task<bool> authenticate(QString reason);

// Replaces how authentication is asked for (tests answer themselves); an empty function restores
// polkit.
using Authenticator = std::function<QCoro::Task<bool>(QString reason)>;
void setAuthenticator(Authenticator authenticator);

} // namespace TouchID

#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <functional>

// Owner authentication before a saved password is used. On Linux it asks polkit to authenticate
// the user as themselves (action org.hollowkeep.owner-authentication, installed with the program),
// with the reason shown in the prompt; every call prompts afresh. No polkit or no authentication
// agent answers false at once.
namespace TouchID {

inline constexpr auto actionId = "org.hollowkeep.owner-authentication";

QCoro::Task<bool> authenticate(QString reason);

// Replaces how authentication is asked for (tests answer themselves); an empty function restores
// polkit.
using Authenticator = std::function<QCoro::Task<bool>(QString reason)>;
void setAuthenticator(Authenticator authenticator);

} // namespace TouchID

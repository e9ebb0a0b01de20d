#pragma once

// Failures that end the session rather than one refresh: the instance refused the refresh token,
// or keeps rejecting a token it was just given, or the stored tokens are gone.

#include <exception>
#include <stdexcept>

namespace trayline {

class TokenStore;

// Carries the original failure's text.
class SessionEnded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Inside a catch block, on a worker: rethrows the failure being handled as SessionEnded when it
// ended the session, else unchanged. A request refused with 401 after its retry with a fresh token
// means the instance no longer accepts this sign-in, so the stored tokens are cleared (the MCP
// server then stops using them too); a 400 ends it only when the token store has already cleared
// them (a refresh token the instance refused), since a bad query is a 400 as well.
[[noreturn]] void rethrowEndingSession(TokenStore& tokens);

bool endsSession(const std::exception_ptr& error);

}  // namespace trayline

#pragma once

// The OAuth authorization-code sign-in: browser → loopback redirect → code exchange → keychain.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace trayline {

class CallbackServer;
class TokenStore;

class SignInFlow {
public:
    struct Options {
        // Opens the authorization URL; the default starts the user's browser (xdg-open).
        std::function<void(const std::string& url)> openBrowser;
        std::uint16_t port = 8765;
        std::chrono::milliseconds limit = std::chrono::seconds(300);
        // Where the new set is stored and the client secret read; null: TokenStore::shared(), the
        // store every request takes its token from.
        TokenStore* tokens = nullptr;
    };

    SignInFlow();
    explicit SignInFlow(Options options);
    ~SignInFlow();

    // Blocks until signed in (the new token set is stored) or throws: AuthError::notConfigured
    // before anything else happens, InstanceURLError, ServerError, CallbackCancelled, and the
    // token endpoint's errors.
    void run();
    // Ends a run that waits for the browser (CallbackCancelled). Callable from any thread.
    void cancel();

    // "<instance>/oauth_auth.do?response_type=code&client_id=…&redirect_uri=…&state=…"
    static std::string authorizationURL(const std::string& instanceURL, const std::string& clientID,
                                        const std::string& state);

private:
    Options options_;
    std::mutex mutex_;
    CallbackServer* server_ = nullptr;  // the running wait, for cancel()
    bool cancelled_ = false;
};

}  // namespace trayline

#include "core/auth/sign_in.h"

#include "core/auth/auth_error.h"
#include "core/auth/callback_server.h"
#include "core/auth/token_request.h"
#include "core/auth/token_store.h"
#include "core/platform/process.h"
#include "core/platform/text.h"
#include "core/settings/instance_url.h"
#include "core/settings/config.h"

namespace trayline {

SignInFlow::SignInFlow() : SignInFlow(Options{}) {}

SignInFlow::SignInFlow(Options options) : options_(std::move(options)) {
    if (!options_.openBrowser)
        options_.openBrowser = [](const std::string& url) { openInBrowser(url); };
    if (!options_.tokens)
        options_.tokens = &TokenStore::shared();
}

SignInFlow::~SignInFlow() = default;

std::string SignInFlow::authorizationURL(const std::string& instanceURL, const std::string& clientID,
                                         const std::string& state) {
    return instanceURL + "/oauth_auth.do?response_type=code&client_id=" +
           text::encodeQueryComponent(clientID) +
           "&redirect_uri=" + text::encodeQueryComponent(kRedirectURI) +
           "&state=" + text::encodeQueryComponent(state);
}

void SignInFlow::run() {
    auto& store = *options_.tokens;
    if (!Config::isConfigured(store.keychain()))
        throw AuthError::notConfigured();
    // A sign-out (clear) after this point wins: the new tokens are then not stored.
    const auto generation = store.generation();
    const auto base = currentInstanceURL();
    const auto state = makeUUID();
    CallbackServer server(state, options_.port, options_.limit);
    {
        std::lock_guard lock(mutex_);
        if (cancelled_)
            server.cancel();
        server_ = &server;
    }
    struct Detach {
        SignInFlow& flow;
        ~Detach() {
            std::lock_guard lock(flow.mutex_);
            flow.server_ = nullptr;
        }
    } detach{*this};

    try {
        options_.openBrowser(authorizationURL(base, Config::clientID(), state));
    } catch (...) {
        // Whether the browser opened is not examined: the URL may be opened by hand.
    }
    const auto code = server.waitForCode();
    const auto tokens = tokenRequest({{"grant_type", "authorization_code"},
                                      {"code", code},
                                      {"redirect_uri", std::string(kRedirectURI)}},
                                     store.keychain());
    bool cancelled;
    {
        std::lock_guard lock(mutex_);
        cancelled = cancelled_;
    }
    if (cancelled || !store.saveIfGeneration(tokens, generation))
        throw CallbackCancelled();
}

void SignInFlow::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (server_)
        server_->cancel();
}

}  // namespace trayline

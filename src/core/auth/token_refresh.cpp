// Access-token acquisition: hands out the stored token while it is valid and refreshes it when it
// has expired or the instance refused it. One refresh runs at a time; callers that need a refresh
// while one is in flight wait for its outcome instead of spending the refresh token again.

#include <future>

#include "core/auth/auth_error.h"
#include "core/auth/token_request.h"
#include "core/auth/token_store.h"

namespace trayline {

struct TokenStore::RefreshFlight {
    std::string replacedToken;  // the access token this refresh replaces
    std::shared_future<TokenSet> result;
};

std::string TokenStore::accessToken(const std::optional<std::string>& replacing) {
    std::unique_lock lock(flightMutex_);
    // The generation first, then the tokens: a sign-out between the two reads then leaves this
    // refresh with a stale generation, so it can neither store its result nor clear a newer set.
    const auto generation = this->generation();
    const auto stored = read();
    if (!stored)
        throw AuthError::notSignedIn();
    if (replacing) {
        if (stored->accessToken != *replacing)
            return stored->accessToken;  // someone already replaced the refused token
    } else if (stored->expiresAt > std::chrono::system_clock::now()) {
        return stored->accessToken;
    }

    if (flight_ && flight_->replacedToken == stored->accessToken) {
        auto pending = flight_->result;
        lock.unlock();
        return pending.get().accessToken;  // rethrows the refresh's failure
    }

    std::promise<TokenSet> promise;
    auto flight = std::make_shared<RefreshFlight>(RefreshFlight{stored->accessToken, promise.get_future().share()});
    flight_ = flight;
    lock.unlock();

    // Whatever happens, the flight ends and its waiters learn the outcome.
    auto land = [&](auto settle) {
        lock.lock();
        if (flight_ == flight)
            flight_.reset();
        lock.unlock();
        settle();
    };
    try {
        auto fresh = tokenRequest(
            {{"grant_type", "refresh_token"}, {"refresh_token", stored->refreshToken}}, keychain_);
        if (fresh.refreshToken.empty())
            fresh.refreshToken = stored->refreshToken;
        // Stored only over the very set it started from. A sign-out here wins: the new set is
        // neither stored nor used. A newer set that a sign-in or the other process (the MCP server
        // shares the item) stored meanwhile wins too, and is the one handed out.
        const auto now = replaceIf(*stored, fresh, generation);
        if (!now)
            throw AuthError::notSignedIn();
        land([&] { promise.set_value(*now); });
        return now->accessToken;
    } catch (...) {
        std::optional<TokenSet> newer;
        try {
            throw;
        } catch (const AuthError& e) {
            // Only the set this refresh read is forgotten, never one stored since.
            if (e.kind() == AuthError::Kind::badResponse && (e.status() == 400 || e.status() == 401))
                newer = clearIf(*stored, generation);
        } catch (...) {
            // Anything else (transport, decoding, another status) keeps the stored set.
        }
        if (newer) {
            land([&] { promise.set_value(*newer); });
            return newer->accessToken;
        }
        land([&] { promise.set_exception(std::current_exception()); });
        throw;
    }
}

}  // namespace trayline

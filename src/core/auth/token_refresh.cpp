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
        // A sign-out that happened meanwhile wins: the new set is neither stored nor used.
        if (!saveIfGeneration(fresh, generation))
            throw AuthError::notSignedIn();
        land([&] { promise.set_value(fresh); });
        return fresh.accessToken;
    } catch (...) {
        try {
            throw;
        } catch (const AuthError& e) {
            // Only the set this refresh read is forgotten, never one stored by a later sign-in.
            if (e.kind() == AuthError::Kind::badResponse && (e.status() == 400 || e.status() == 401))
                clearIfGeneration(generation);
        } catch (...) {
            // Anything else (transport, decoding, another status) keeps the stored set.
        }
        land([&] { promise.set_exception(std::current_exception()); });
        throw;
    }
}

}  // namespace trayline

#pragma once

// TokenStore: the owner of the stored token set; the app uses the one shared() instance. It keeps
// no copy of the set in memory: every read goes to the keychain item "tokens", so a change is
// visible at once to any later read in this process or in another one (the MCP mode).
//
// Sign-out wins: clear() bumps a generation counter; a refresh that started before
// a sign-out stores its result with saveIfGeneration(), which then stores nothing.
// The counter lives in this process only, while the MCP server shares the item: so a refresh also
// stores (or, refused, clears) only while the item still holds the very set it started from
// (replaceIf, clearIf). Every write takes a lock file beside the file store's, so that check and
// the write that follows are one step for every process of the profile.

#include "core/auth/token_set.h"
#include "core/platform/keychain.h"

#include <atomic>
#include <memory>
#include <string>
#include <cstdint>
#include <mutex>
#include <optional>

namespace trayline {

class TokenStore {
public:
    static constexpr const char* kAccount = "tokens";

    // Over the keychain that also holds the client secret used to refresh.
    explicit TokenStore(Keychain keychain = Keychain()) : keychain_(std::move(keychain)) {}

    // Created on first use, kept for the life of the process.
    static TokenStore& shared();

    // The signed-in test: the decoded "tokens" item, or nullopt when it is absent or cannot be
    // decoded (the item is then left untouched). Not serialised with the members below.
    std::optional<TokenSet> read() const;
    // shared().read()
    static std::optional<TokenSet> load() { return shared().read(); }

    const Keychain& keychain() const { return keychain_; }

    // Stores the token set; a failure to encode or to write is not reported.
    void save(const TokenSet& tokens);
    // Deletes the "tokens" item and starts a new generation. Returns false when the item could not
    // be deleted (the generation still moves on).
    bool clear();
    // clear(), but only while no clear() happened since `expected` was read.
    bool clearIfGeneration(std::uint64_t expected);

    // Bumped by every clear(). Read it before starting work whose result is saved later.
    std::uint64_t generation() const { return generation_.load(); }
    // Saves only when no clear() happened since `expected` was read, atomically with respect to
    // clear(). Returns whether the generation matched (and so the save was attempted).
    bool saveIfGeneration(const TokenSet& tokens, std::uint64_t expected);

    // Compare-and-set: stores `fresh` only while the item still holds `current` and no clear()
    // happened since `expected`. Returns what the item holds afterwards: `fresh`, or the newer set
    // that won (stored meanwhile by a sign-in or another process); nullopt when signed out, or
    // when a clear() of this process intervened.
    std::optional<TokenSet> replaceIf(const TokenSet& current, const TokenSet& fresh,
                                      std::uint64_t expected);
    // Removes the item only while it still holds `current` and no clear() happened since
    // `expected`. Returns the newer set that was kept instead; nullopt when none is stored, or
    // when a clear() of this process intervened.
    std::optional<TokenSet> clearIf(const TokenSet& current, std::uint64_t expected);

    // A usable access token. With nothing to replace: the stored one while it is still valid,
    // else a refreshed one. With the token the instance just refused: the stored one if it is
    // already different, else a refreshed one. Throws AuthError::notSignedIn without a stored set;
    // a refresh refused with 400/401 clears the set. One refresh at a time: callers that need one
    // while another is in flight share its outcome.
    std::string accessToken(const std::optional<std::string>& replacing = std::nullopt);

    TokenStore(const TokenStore&) = delete;
    TokenStore& operator=(const TokenStore&) = delete;

private:
    class WriteLock;
    // replaceIf() with `fresh`, clearIf() without.
    std::optional<TokenSet> writeIfStill(const TokenSet& current, std::uint64_t expected, const TokenSet* fresh);
    void saveLocked(const TokenSet& tokens);
    bool clearLocked();

    Keychain keychain_;
    // Serialises the instance members: one body at a time. save(), clear() and the guarded
    // versions take it (and then the lock file), so do not call them while holding it.
    std::mutex mutex_;
    std::atomic<std::uint64_t> generation_{0};

    struct RefreshFlight;
    std::mutex flightMutex_;
    std::shared_ptr<RefreshFlight> flight_;
};

}  // namespace trayline

#include "core/auth/token_store.h"

namespace trayline {

TokenStore& TokenStore::shared() {
    static TokenStore store;
    return store;
}

std::optional<TokenSet> TokenStore::read() const {
    auto text = keychain_.get(kAccount);
    if (!text)
        return std::nullopt;
    return TokenSet::fromJson(*text);
}

void TokenStore::save(const TokenSet& tokens) {
    std::lock_guard lock(mutex_);
    saveLocked(tokens);
}

bool TokenStore::clear() {
    std::lock_guard lock(mutex_);
    return clearLocked();
}

bool TokenStore::clearIfGeneration(std::uint64_t expected) {
    std::lock_guard lock(mutex_);
    return generation_.load() == expected && clearLocked();
}

bool TokenStore::clearLocked() {
    const bool removed = keychain_.remove(kAccount);
    // Only after the item is gone: a reader that saw the new generation must not find old tokens.
    generation_.fetch_add(1);
    return removed;
}

bool TokenStore::saveIfGeneration(const TokenSet& tokens, std::uint64_t expected) {
    std::lock_guard lock(mutex_);
    if (generation_.load() != expected)
        return false;
    saveLocked(tokens);
    return true;
}

void TokenStore::saveLocked(const TokenSet& tokens) {
    if (auto text = tokens.toJson())
        keychain_.set(*text, kAccount);
}

}  // namespace trayline

#include "core/auth/token_store.h"

#include "core/platform/atomic_file.h"
#include "core/platform/secret_file_backend.h"

namespace trayline {

// This store's mutex, then the profile's lock file: another process's write cannot land between
// a re-read and the write it decides. Without a usable lock file (a read-only data directory) the
// write still happens, serialised within this process only.
class TokenStore::WriteLock {
public:
    explicit WriteLock(std::mutex& mutex) : lock_(mutex) {
        try {
            const auto dir = SecretFileBackend::defaultPath().parent_path();
            if (SecretFileBackend::ensurePrivateDirectory(dir))
                file_.emplace(dir / kAccount);
        } catch (...) {
        }
    }

private:
    std::lock_guard<std::mutex> lock_;
    std::optional<FileLock> file_;
};

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
    WriteLock lock(mutex_);
    saveLocked(tokens);
}

bool TokenStore::clear() {
    WriteLock lock(mutex_);
    return clearLocked();
}

bool TokenStore::clearIfGeneration(std::uint64_t expected) {
    WriteLock lock(mutex_);
    return generation_.load() == expected && clearLocked();
}

bool TokenStore::clearLocked() {
    const bool removed = keychain_.remove(kAccount);
    // Only after the item is gone: a reader that saw the new generation must not find old tokens.
    generation_.fetch_add(1);
    return removed;
}

bool TokenStore::saveIfGeneration(const TokenSet& tokens, std::uint64_t expected) {
    WriteLock lock(mutex_);
    if (generation_.load() != expected)
        return false;
    saveLocked(tokens);
    return true;
}

std::optional<TokenSet> TokenStore::replaceIf(const TokenSet& current, const TokenSet& fresh,
                                              std::uint64_t expected) {
    return writeIfStill(current, expected, &fresh);
}

std::optional<TokenSet> TokenStore::clearIf(const TokenSet& current, std::uint64_t expected) {
    return writeIfStill(current, expected, nullptr);
}

std::optional<TokenSet> TokenStore::writeIfStill(const TokenSet& current, std::uint64_t expected,
                                                 const TokenSet* fresh) {
    WriteLock lock(mutex_);
    if (generation_.load() != expected)
        return std::nullopt;
    auto stored = read();
    if (stored != current)
        return stored;
    if (!fresh) {
        clearLocked();
        return std::nullopt;
    }
    saveLocked(*fresh);
    return *fresh;
}

void TokenStore::saveLocked(const TokenSet& tokens) {
    if (auto text = tokens.toJson())
        keychain_.set(*text, kAccount);
}

}  // namespace trayline

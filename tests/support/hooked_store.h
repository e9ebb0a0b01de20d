#pragma once

// A secret store over another (the profile's own by default) that a test slows down or makes refuse,
// like a keyring behind its unlock prompt or one whose prompt was dismissed, with a hook that runs
// once right after the tokens item was read, so a sign-out (or a new sign-in) can land exactly there.

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "core/auth/token_store.h"
#include "core/platform/secret_store.h"

namespace trayline::test {

class HookedStore final : public SecretStore {
public:
    explicit HookedStore(std::shared_ptr<SecretStore> inner = SecretStore::forCurrentUser())
        : inner_(std::move(inner)) {}
    std::optional<std::string> get(const std::string& account) override {
        std::this_thread::sleep_for(delay);
        auto data = inner_->get(account);
        if (account == TokenStore::kAccount && afterTokensRead)
            std::exchange(afterTokensRead, nullptr)();
        return data;
    }
    bool set(const std::string& account, const std::string& data) override {
        std::this_thread::sleep_for(std::max(delay, setDelay));
        return inner_->set(account, data);
    }
    bool remove(const std::string& account) override {
        std::this_thread::sleep_for(std::max(delay, removeDelay));
        return !refusesRemoval && inner_->remove(account);
    }

    std::chrono::milliseconds delay{0}, setDelay{0}, removeDelay{0};  // every call; writes; removals
    bool refusesRemoval = false;
    std::function<void()> afterTokensRead;

private:
    std::shared_ptr<SecretStore> inner_;
};

}  // namespace trayline::test

#pragma once

// Shared by the secret-store tests: an in-memory store to inject, an environment variable that is
// restored afterwards, and a child-process runner (for secret-tool).

#include "core/platform/secret_store.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace trayline::test {

// A SecretStore that keeps its items in memory and counts the calls it receives.
class MemorySecretStore final : public SecretStore {
public:
    std::optional<std::string> get(const std::string& account) override {
        std::lock_guard lock(mutex);
        auto it = items.find(account);
        return it == items.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    bool set(const std::string& account, const std::string& data) override {
        std::lock_guard lock(mutex);
        ++writes;
        if (failWrites)
            return false;
        items[account] = data;
        return true;
    }
    void remove(const std::string& account) override {
        std::lock_guard lock(mutex);
        items.erase(account);
    }

    std::mutex mutex;
    std::map<std::string, std::string> items;
    int writes = 0;
    bool failWrites = false;
};

// Sets (or, with nullopt, unsets) an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

struct ChildResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;
};

// Runs argv[0] (looked up in PATH) with `input` on its standard input; collects standard output,
// and standard error too when `withStderr` (otherwise it goes to the test's own).
ChildResult runChild(const std::vector<std::string>& argv, const std::string& input = {},
                     bool withStderr = false);

}  // namespace trayline::test

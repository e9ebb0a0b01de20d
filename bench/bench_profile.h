#pragma once

// A throw-away profile signed in to an in-process demo instance, so benchmark figures never depend
// on (or touch) the user's own settings and keyring.

#include <stdlib.h>

#include <chrono>
#include <filesystem>

#include "core/auth/token_store.h"
#include "core/platform/atomic_file.h"
#include "core/settings/config.h"
#include "demo_instance.h"

namespace trayline::bench {

class BenchProfile {
public:
    BenchProfile() {
        char dir[] = "/tmp/trayline-bench-XXXXXX";
        if (!::mkdtemp(dir))
            throw std::runtime_error("mkdtemp failed");
        root_ = dir;
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        std::filesystem::create_directories(root_ / "data" / "com.brindle.Trayline");
        writeFileAtomically(root_ / "data" / "com.brindle.Trayline" / "keychain.json", "{}", 0600);
    }
    ~BenchProfile() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // Points the settings at `instance` and stores a token set it issued.
    static void signIn(demo::DemoInstance& instance) {
        Config::setInstanceURL(instance.baseUrl());
        Config::setClientID(demo::kClientId);
        Config::setClientSecret(demo::kClientSecret);
        Config::setGroupSysID(demo::kGroupSysId);
        const auto tokens = instance.issueTokens();
        TokenStore::shared().save({tokens.accessToken, tokens.refreshToken,
                                   std::chrono::system_clock::now() + std::chrono::hours(1)});
    }

private:
    std::filesystem::path root_;
};

}  // namespace trayline::bench

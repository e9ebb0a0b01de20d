#pragma once

// A fixture for tests that must never reach a real keyring: a private XDG profile, and a session
// bus address that leads nowhere, so automatic selection always ends at the file backend.

#include "core/platform/secret_store.h"
#include "secret_test_support.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <memory>

namespace trayline::test {

class IsolatedSecrets : public ::testing::Test {
protected:
    void SetUp() override {
        noBus_ = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS",
                                             "unix:path=" + (profile_.root() / "no-bus").string());
        SecretStore::setForTesting(nullptr);
        SecretStore::resetSelection();
    }
    void TearDown() override {
        SecretStore::setForTesting(nullptr);
        SecretStore::resetSelection();
        noBus_.reset();
    }

    std::filesystem::path secretsDir() const {
        return profile_.dataHome() / "com.brindle.Trayline";
    }
    std::filesystem::path secretsFile() const { return secretsDir() / "keychain.json"; }

    TempProfile profile_;
    std::unique_ptr<ScopedEnv> noBus_;
};

}  // namespace trayline::test

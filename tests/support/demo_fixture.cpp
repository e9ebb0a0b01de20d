#include "support/demo_fixture.h"

#include <sys/stat.h>

#include "core/auth/token_store.h"
#include "core/settings/config.h"

namespace trayline::test {

namespace {
// Pins the secret store to the private file backend of the current profile.
void useFileKeychain() {
    const auto dir = std::filesystem::path(std::getenv("XDG_DATA_HOME")) / "com.brindle.Trayline";
    std::filesystem::create_directories(dir);
    ::chmod(dir.c_str(), 0700);
    writeFile(dir / "keychain.json", "{}");
    ::chmod((dir / "keychain.json").c_str(), 0600);
}
}  // namespace

DemoProfile::DemoProfile(demo::Options options)
    : instance_(std::make_unique<demo::DemoInstance>(std::move(options))) {
    useFileKeychain();
    instance_->start();
    Config::setInstanceURL(instance_->baseUrl());
    Config::setClientID(demo::kClientId);
    Config::setClientSecret(demo::kClientSecret);
    Config::setGroupSysID(demo::kGroupSysId);
}

DemoProfile::~DemoProfile() { instance_->stop(); }

void DemoProfile::signIn(int expiresInSeconds) { signInAs(instance_->demoUserSysId(), expiresInSeconds); }

void DemoProfile::signInAs(const std::string& userSysId, int expiresInSeconds) {
    const auto tokens = instance_->issueTokens(userSysId);
    TokenStore::shared().save(TokenSet{tokens.accessToken, tokens.refreshToken,
                                       std::chrono::system_clock::now() +
                                           std::chrono::seconds(expiresInSeconds)});
}

std::size_t DemoProfile::countRequests(const std::string& method, const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& r : instance_->requestLog())
        n += r.method == method && r.path.starts_with(prefix);
    return n;
}

}  // namespace trayline::test

#pragma once

// A signed-in profile against an in-process demo instance: temporary settings, a file keychain
// holding the demo client secret and a fresh token set, and the instance on an ephemeral port.

#include <memory>

#include "demo_instance.h"
#include "support/temp_env.h"

namespace trayline::test {

class DemoProfile {
public:
    explicit DemoProfile(demo::Options options = {});
    ~DemoProfile();

    demo::DemoInstance& instance() { return *instance_; }
    TempProfile& profile() { return profile_; }

    // Stores a token pair issued by the instance, expiring (locally) `expiresInSeconds` from now.
    void signIn(int expiresInSeconds = 1800);
    // The same for another user of the instance.
    void signInAs(const std::string& userSysId, int expiresInSeconds = 1800);
    // Requests whose path starts with `prefix` in the instance's log.
    std::size_t countRequests(const std::string& method, const std::string& prefix) const;

private:
    TempProfile profile_;
    std::unique_ptr<demo::DemoInstance> instance_;
};

}  // namespace trayline::test

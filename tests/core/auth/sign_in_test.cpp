// Sign-in end to end: a real headless browser, the demo instance's consent page, the loopback
// callback on port 8765, the code exchange and the stored token set.

#include "core/auth/sign_in.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/auth/auth_error.h"
#include "core/auth/callback_server.h"
#include "core/auth/token_store.h"
#include "core/servicenow/service_now_client.h"
#include "core/settings/config.h"
#include "support/demo_fixture.h"
#include "support/headless_browser.h"

namespace trayline {
namespace {

TEST(SignIn, IncompleteSettingsFailBeforeAnyBrowserOrRequest) {
    test::DemoProfile demo;
    Config::setClientSecret("  \n");
    bool opened = false;
    EXPECT_THROW(SignInFlow({[&](const std::string&) { opened = true; }}).run(), AuthError);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(demo.instance().requestLog().empty());
}

TEST(SignIn, BrowserSignInStoresTokensThatTheClientCanUse) {
    ASSERT_TRUE(test::HeadlessBrowser::available());
    demo::Options options;
    options.autoApprove = true;
    test::DemoProfile demo(options);
    test::HeadlessBrowser browser;
    std::string opened;
    SignInFlow flow({[&](const std::string& url) { browser.open(opened = url); }});
    ASSERT_NO_THROW(flow.run());
    EXPECT_NE(browser.finish().find("Signed in \u2713"), std::string::npos);
    EXPECT_NO_THROW(CallbackServer("again", CallbackServer::defaultPort)) << "the port is free again";

    const auto state = opened.substr(opened.find("&state=") + 7);
    EXPECT_EQ(opened, demo.instance().baseUrl() + "/oauth_auth.do?response_type=code&client_id=" + demo::kClientId +
                          "&redirect_uri=http://localhost:8765/callback&state=" + state);
    EXPECT_EQ(state.size(), 36u);
    EXPECT_EQ(state.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << state;
    const auto left = TokenStore::load()->expiresAt - std::chrono::system_clock::now();
    EXPECT_GT(left, std::chrono::seconds(1700));  // 1800 s minus the 60 s margin
    EXPECT_LE(left, std::chrono::seconds(1740));
    EXPECT_EQ(ServiceNowClient().currentUser().sysID, demo::kDemoUserSysId);

    // Every credential travels form-encoded: %20 and never "+", "/" and "+" escaped.
    std::string bodies;
    for (const auto& r : demo.instance().requestLog())
        bodies += r.path == "/oauth_token.do" ? r.body : "";
    EXPECT_NE(bodies.find("grant_type=authorization_code"), std::string::npos) << bodies;
    EXPECT_NE(bodies.find("redirect_uri=http%3A%2F%2Flocalhost%3A8765%2Fcallback"), std::string::npos);
    EXPECT_NE(bodies.find("client_secret=tray%2Bline%2Fdemo-secret"), std::string::npos);
}

TEST(SignIn, CancelEndsAWaitForTheBrowser) {
    test::DemoProfile demo;
    SignInFlow flow({[](const std::string&) {}});
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        flow.cancel();
    });
    EXPECT_THROW(flow.run(), CallbackCancelled);
    canceller.join();
    EXPECT_NO_THROW(CallbackServer("again", CallbackServer::defaultPort)) << "the port is free again";
}

}  // namespace
}  // namespace trayline

// Sign-in end to end: a real headless browser, the demo instance's consent page, the loopback
// callback on port 8765, the code exchange and the stored token set.

#include "core/auth/sign_in.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "core/auth/callback_server.h"
#include "core/auth/token_store.h"
#include "core/servicenow/service_now_client.h"
#include "support/demo_fixture.h"
#include "support/process_run.h"

namespace trayline {
namespace {

// Headless Chromium as the user's browser, in a fresh profile: the DOM of the page that `url`
// ends at after its redirects and form posts. The background-networking switches keep it off the
// (closed) network; the virtual time budget lets the posts and redirects finish before the dump.
std::string browse(const std::string& url, const std::filesystem::path& profile) {
    const std::string command =
        "timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync --virtual-time-budget=5000 "
        "--user-data-dir='" + profile.string() + "' --dump-dom '" + url + "' 2>/dev/null";
    return test::shellOutput(command);
}

TEST(SignIn, BrowserSignInStoresTokensThatTheClientCanUse) {
    ASSERT_EQ(::access("/usr/bin/chromium", X_OK), 0) << "needs Chromium";
    demo::Options options;
    options.autoApprove = true;
    test::DemoProfile demo(options);
    std::string opened;
    std::future<std::string> page;
    SignInFlow flow({[&](const std::string& url) {
        page = std::async(std::launch::async, browse, opened = url, demo.profile().root() / "chromium");
    }});
    ASSERT_NO_THROW(flow.run());
    EXPECT_NE(page.get().find("Signed in \u2713"), std::string::npos);
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

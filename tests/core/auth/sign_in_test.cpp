// Sign-in end to end: a real headless browser, the demo instance's consent page, the loopback
// callback on port 8765, the code exchange and the stored token set.

#include "core/auth/sign_in.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "core/auth/auth_error.h"
#include "core/auth/callback_server.h"
#include "core/auth/token_store.h"
#include "core/platform/text.h"
#include "core/servicenow/service_now_client.h"
#include "core/settings/config.h"
#include "support/demo_fixture.h"
#include "support/headless_browser.h"

namespace trayline {
namespace {

bool portIsFree(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string oauthBodies(test::DemoProfile& demo) {
    std::string bodies;
    for (const auto& r : demo.instance().requestLog())
        if (r.path == "/oauth_token.do")
            bodies += r.body + "\n";
    return bodies;
}

TEST(SignIn, AuthorizationURLCarriesExactlyFourParametersInOrder) {
    EXPECT_EQ(SignInFlow::authorizationURL("https://acme.service-now.com", "abc", "S-1"),
              "https://acme.service-now.com/oauth_auth.do?response_type=code&client_id=abc"
              "&redirect_uri=http://localhost:8765/callback&state=S-1");
    EXPECT_EQ(SignInFlow::authorizationURL("https://x", "a b&c", "S"),
              "https://x/oauth_auth.do?response_type=code&client_id=a%20b%26c"
              "&redirect_uri=http://localhost:8765/callback&state=S");
}

TEST(SignIn, IncompleteSettingsFailBeforeAnyListenerOrBrowser) {
    test::DemoProfile demo;
    Config::setClientSecret("  \n");
    bool opened = false;
    SignInFlow flow({[&](const std::string&) { opened = true; }});
    try {
        flow.run();
        FAIL() << "expected notConfigured";
    } catch (const AuthError& e) {
        EXPECT_EQ(e.kind(), AuthError::Kind::notConfigured);
    }
    EXPECT_FALSE(opened);
    EXPECT_TRUE(portIsFree(8765));
    EXPECT_TRUE(demo.instance().requestLog().empty());
}

TEST(SignIn, BrowserSignInStoresTokensThatTheClientCanUse) {
    ASSERT_TRUE(test::HeadlessBrowser::available());
    demo::Options options;
    options.autoApprove = true;
    test::DemoProfile demo(options);
    ASSERT_FALSE(TokenStore::load());

    test::HeadlessBrowser browser;
    std::string openedURL;
    SignInFlow flow({[&](const std::string& url) {
        openedURL = url;
        browser.open(url);
    }});
    ASSERT_NO_THROW(flow.run());
    EXPECT_NE(browser.finish().find("Signed in \u2713"), std::string::npos);

    const auto state = openedURL.substr(openedURL.find("&state=") + 7);
    EXPECT_EQ(state.size(), 36u);
    EXPECT_EQ(state, text::trimmed(state));
    for (char c : state)
        EXPECT_TRUE(c == '-' || std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << state;

    const auto stored = TokenStore::load();
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->accessToken.empty());
    const auto left = stored->expiresAt - std::chrono::system_clock::now();
    EXPECT_GT(left, std::chrono::seconds(1700));  // 1800 s minus the 60 s margin
    EXPECT_LE(left, std::chrono::seconds(1740));
    EXPECT_EQ(ServiceNowClient().currentUser().sysID, demo::kDemoUserSysId);

    // The exchange sends every credential form-encoded: %20 and never "+", "/" and "+" escaped.
    const auto bodies = oauthBodies(demo);
    EXPECT_NE(bodies.find("grant_type=authorization_code"), std::string::npos);
    EXPECT_NE(bodies.find("redirect_uri=http%3A%2F%2Flocalhost%3A8765%2Fcallback"), std::string::npos);
    EXPECT_NE(bodies.find("client_secret=tray%2Bline%2Fdemo-secret"), std::string::npos);
    EXPECT_TRUE(portIsFree(8765)) << "the listener is released after sign-in";
}

TEST(SignIn, DeniedConsentFailsWithNoCodeAndShowsTheInstancesTextEscaped) {
    ASSERT_TRUE(test::HeadlessBrowser::available());
    test::DemoProfile demo;
    const auto page = demo.profile().root() / "deny.html";
    test::HeadlessBrowser browser;
    SignInFlow flow({[&](const std::string& url) {
        // Stands in for the person who clicks "Deny" on the consent page.
        const auto state = url.substr(url.find("&state=") + 7);
        std::ofstream(page) << "<html><body onload=\"document.forms[0].submit()\"><form method=\"post\" action=\""
                            << demo.instance().baseUrl() << "/oauth_auth.do\">"
                            << "<input type=hidden name=response_type value=code>"
                            << "<input type=hidden name=client_id value=" << demo::kClientId << ">"
                            << "<input type=hidden name=redirect_uri value=\"http://localhost:8765/callback\">"
                            << "<input type=hidden name=state value=" << state << ">"
                            << "<input type=hidden name=decision value=deny></form></body></html>";
        browser.open("file://" + page.string());
    }});
    try {
        flow.run();
        FAIL() << "expected noCode";
    } catch (const ServerError& e) {
        EXPECT_EQ(e.kind(), ServerError::Kind::noCode);
    }
    EXPECT_NE(browser.finish().find("The user denied the authorization request."), std::string::npos);
    EXPECT_FALSE(TokenStore::load());
}

TEST(SignIn, ExchangeReplyOfTheWrongShapeStoresNothing) {
    ASSERT_TRUE(test::HeadlessBrowser::available());
    demo::Options options;
    options.autoApprove = true;
    test::DemoProfile demo(options);
    test::HeadlessBrowser browser;
    SignInFlow flow({[&](const std::string& url) {
        demo.instance().failNext(1, 200, R"({"access_token":"a","expires_in":"3600"})");
        browser.open(url);
    }});
    EXPECT_THROW(flow.run(), std::runtime_error);
    browser.finish();
    EXPECT_FALSE(TokenStore::load());
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
    EXPECT_TRUE(portIsFree(8765));
}

}  // namespace
}  // namespace trayline

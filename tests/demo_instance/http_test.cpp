// The demo instance over real loopback HTTP: the OAuth authorization-code flow, and stopping the
// server, which ends the connections it holds, however stalled, and nothing else. Which records a
// query selects is encoded_query_test.cpp's; the Table API's replies are read by every client test.

#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>

#include "demo_instance.h"
#include "util.h"

namespace trayline::demo {
namespace {

using nlohmann::json;

using Params = std::vector<std::pair<std::string, std::string>>;

std::string form(const Params& params) {
    std::string out;
    for (const auto& [k, v] : params)
        out += (out.empty() ? "" : "&") + util::percentEncode(k) + "=" + util::percentEncode(v);
    return out;
}

nlohmann::json body(const httplib::Result& r) {
    if (!r) throw std::runtime_error("no HTTP response: " + httplib::to_string(r.error()));
    return nlohmann::json::parse(r->body);
}

// A query parameter of a redirect's Location.
std::string locationParam(const httplib::Result& r, const std::string& name) {
    const std::string loc = r->get_header_value("Location");
    for (const auto& [k, v] : util::parseQueryString(loc.substr(loc.find('?') + 1)))
        if (k == name) return v;
    return "<absent>";
}

httplib::Result token(httplib::Client& cli, Params p, const std::string& secret = kClientSecret) {
    p.insert(p.end(), {{"client_id", kClientId}, {"client_secret", secret}});
    return cli.Post("/oauth_token.do", form(p), "application/x-www-form-urlencoded");
}

Params codeGrant(const std::string& code, const std::string& redirect = kRedirectUri) {
    return {{"grant_type", "authorization_code"}, {"code", code}, {"redirect_uri", redirect}};
}

TEST(OAuth, CodesAreSingleUseAndBoundToTheRedirectUri) {
    DemoInstance instance;
    instance.start();
    httplib::Client cli{instance.baseUrl()};
    const auto consent = [&](const std::string& state) {
        const Params p = {{"response_type", "code"}, {"client_id", kClientId}, {"redirect_uri", kRedirectUri},
                          {"state", state}, {"decision", "allow"}};
        return cli.Post("/oauth_auth.do", form(p), "application/x-www-form-urlencoded");
    };
    auto allowed = consent("STATE-1");
    ASSERT_EQ(allowed->status, 302);
    EXPECT_EQ(allowed->get_header_value("Location").rfind(std::string(kRedirectUri) + "?code=", 0), 0u);
    EXPECT_EQ(locationParam(allowed, "state"), "STATE-1");
    const std::string first = locationParam(allowed, "code");
    const json tokens = body(token(cli, codeGrant(first)));
    EXPECT_TRUE(tokens["access_token"].is_string() && tokens["refresh_token"].is_string()) << tokens;
    EXPECT_EQ(tokens["expires_in"], 1800);

    const auto other = locationParam(consent("S1"), "code");
    for (const auto& used : {token(cli, codeGrant(first)), token(cli, codeGrant(other, "http://localhost:8765/other"))}) {
        EXPECT_EQ(used->status, 400);
        EXPECT_EQ(body(used)["error"], "invalid_grant");
    }
}

TEST(ServerStop, EndsItsOwnStalledConnectionsAndNoOtherSocket) {
    DemoInstance instance;
    instance.start();
    // Another server of this process on the same port number, over IPv6: its connections are not
    // the instance's, so stopping must leave them open.
    const int otherListener = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_port = htons(static_cast<std::uint16_t>(instance.port()));
    at.sin6_addr = in6addr_loopback;
    const bool v6 = ::bind(otherListener, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
                    ::listen(otherListener, 1) == 0;
    const int otherClient = v6 ? ::socket(AF_INET6, SOCK_STREAM, 0) : -1;
    const int otherServed = v6 && ::connect(otherClient, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0
                                ? ::accept(otherListener, nullptr, nullptr)
                                : -1;
    // A client that sent half a request: its worker waits on the read time-out unless stop ends it.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(instance.port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(stalled, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::send(stalled, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 16);
    httplib::Client idle(instance.baseUrl());
    idle.set_keep_alive(true);
    ASSERT_EQ(idle.Get("/")->status, 200);

    auto stopping = std::async(std::launch::async, [&] { instance.stop(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds{20}), std::future_status::ready) << "stop hangs";
    instance.stop();  // idempotent
    char byte = 0;
    EXPECT_LE(::recv(stalled, &byte, 1, 0), 0);  // ended by the instance (an orderly end or a reset)
    if (otherServed >= 0) {
        EXPECT_EQ(::send(otherClient, "x", 1, MSG_NOSIGNAL), 1);
        EXPECT_EQ(::recv(otherServed, &byte, 1, 0), 1) << "the instance ended a connection not its own";
    }
    for (const int fd : {stalled, otherClient, otherServed, otherListener})
        if (fd >= 0) ::close(fd);
}

}  // namespace
}  // namespace trayline::demo

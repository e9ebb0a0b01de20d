#include "core/auth/callback_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <sstream>
#include <variant>

namespace trayline {
namespace {

using namespace std::chrono_literals;
using Kind = ServerError::Kind;

// The address `port` on 127.0.0.1 (or every IPv4 interface when `any`) or on ::1.
std::pair<sockaddr_storage, socklen_t> address(int family, std::uint16_t port, bool any = false) {
    sockaddr_storage storage{};
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
        return {storage, sizeof(sockaddr_in)};
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    v6->sin6_addr = in6addr_loopback;
    return {storage, sizeof(sockaddr_in6)};
}

// A raw TCP client, so tests control every byte and every half of the connection.
class Client {
public:
    explicit Client(std::uint16_t port, int family = AF_INET)
        : fd_(::socket(family, SOCK_STREAM, 0)) {
        const timeval fiveSeconds{5, 0};  // a missing reply fails the test instead of hanging it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &fiveSeconds, sizeof fiveSeconds);
        const auto [to, length] = address(family, port);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), length) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    void write(std::string_view bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    // Closes with a reset instead of an orderly end.
    void abort() {
        const linger now{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        ::close(fd_);
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    }
    std::string readAll() {
        std::string all;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0)
            all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }

private:
    int fd_;
    bool connected_ = false;
};

std::future<std::string> startWaiting(CallbackServer& server) {
    return std::async(std::launch::async, [&server] { return server.waitForCode(); });
}

// The error kind the wait ended with, or nullopt when it returned a code.
std::optional<Kind> failure(std::future<std::string>& wait) {
    try {
        wait.get();
        return std::nullopt;
    } catch (const ServerError& e) {
        return e.kind();
    }
}

std::string reply(const std::string& status, const std::string& body) {
    const std::string page =
        "<html><body style=\"font-family:-apple-system;text-align:center;margin-top:20vh\">" +
        body + "</body></html>";
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
}

const std::string signedIn =
    "<h2>Signed in \u2713</h2><p>You can close this tab and return to the menu bar app.</p>";

std::string request(const std::string& line) {
    return line + "\r\nHost: localhost:8765\r\nAccept: */*\r\n\r\n";
}
std::string get(const std::string& target) {
    return request("GET " + target + " HTTP/1.1");
}

struct KeepsWaiting {};
struct Case {
    std::string name;
    std::string sent;
    std::string status;
    std::string body;
    std::variant<KeepsWaiting, std::string, Kind> result;
};

class CallbackRequestTest : public testing::TestWithParam<Case> {};

TEST_P(CallbackRequestTest, RepliesAndEndsTheWaitAsTheRequestLineSays) {
    const Case& c = GetParam();
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    Client client(server.port());
    client.write(c.sent);
    EXPECT_EQ(client.readAll(), reply(c.status, c.body));

    if (std::holds_alternative<KeepsWaiting>(c.result)) {
        // Still listening: a proper callback afterwards is the one that ends the wait.
        Client next(server.port());
        next.write(get("/callback?code=after&state=S"));
        EXPECT_EQ(next.readAll(), reply("200 OK", signedIn));
        EXPECT_EQ(wait.get(), "after");
    } else if (const auto* code = std::get_if<std::string>(&c.result)) {
        EXPECT_EQ(wait.get(), *code);
    } else {
        EXPECT_EQ(failure(wait), std::get<Kind>(c.result));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallbackRequestTest,
    testing::Values(
        Case{"Favicon", get("/favicon.ico"), "404 Not Found", "Not found.", KeepsWaiting{}},
        Case{"Code", get("/callback?code=abc&state=S"), "200 OK", signedIn, "abc"},
        Case{"PrefixOnly", get("/callbackX?code=abc&state=S"), "200 OK", signedIn, "abc"},
        Case{"MethodAndVersionIgnored", request("POST /callback?code=abc&state=S HTTP/1.0"),
             "200 OK", signedIn, "abc"},
        Case{"ExtraSpaces", request("GET   /callback?state=S&code=abc   HTTP/1.1"), "200 OK",
             signedIn, "abc"},
        Case{"CodeInBodyNotSeen",
             "POST /callback?state=S HTTP/1.1\r\nContent-Length: 8\r\n\r\ncode=abc",
             "400 Bad Request", "Missing code.", Kind::noCode},
        Case{"EmptyCode", get("/callback?state=S&code="), "400 Bad Request", "Missing code.",
             Kind::noCode},
        Case{"ErrorDescription",
             get("/callback?error=access_denied&error_description=User%20denied&state=S"),
             "400 Bad Request", "User denied", Kind::noCode},
        Case{"ErrorOnly", get("/callback?error=access_denied&state=S"), "400 Bad Request",
             "access_denied", Kind::noCode},
        Case{"DescriptionIsEscaped",
             get("/callback?error_description=%3Cscript%3Ealert(%27x%27)%3C/"
                 "script%3E%20%26%20%22q%22&state=S"),
             "400 Bad Request",
             "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;", Kind::noCode},
        Case{"StateCaseDiffers", get("/callback?code=abc&state=s"), "400 Bad Request",
             "State mismatch.", Kind::stateMismatch},
        Case{"NoState", get("/callback?code=abc"), "400 Bad Request", "State mismatch.",
             Kind::stateMismatch},
        Case{"StateWithoutValue", get("/callback?code=abc&state"), "400 Bad Request",
             "State mismatch.", Kind::stateMismatch},
        Case{"FirstStateCounts", get("/callback?state=x&code=abc&state=S"), "400 Bad Request",
             "State mismatch.", Kind::stateMismatch},
        Case{"StateCheckedBeforeCode", get("/callback?error=denied&state=x"), "400 Bad Request",
             "State mismatch.", Kind::stateMismatch},
        Case{"FirstCodeCounts", get("/callback?code=&code=abc&state=S"), "400 Bad Request",
             "Missing code.", Kind::noCode},
        Case{"EncodedPlus", get("/callback?code=a%2Bb&state=S"), "200 OK", signedIn, "a+b"},
        Case{"LiteralPlusStays", get("/callback?code=a+b&state=S"), "200 OK", signedIn, "a+b"},
        Case{"StateIsDecoded", get("/callback?code=abc&state=%53"), "200 OK", signedIn, "abc"},
        Case{"CodeThatIsNotUtf8", get("/callback?code=%FF&state=S"), "400 Bad Request",
             "Missing code.", Kind::noCode},
        Case{"BadEscapeIsNotAUrl", get("/callback?code=abc%G1&state=S"), "404 Not Found",
             "Not found.", KeepsWaiting{}},
        Case{"NoTarget", request("GET"), "404 Not Found", "Not found.", KeepsWaiting{}},
        Case{"InvalidUtf8Anywhere",
             "GET /callback?code=abc&state=S HTTP/1.1\r\nX-Junk: \xff\xfe\r\n\r\n", "404 Not Found",
             "Not found.", KeepsWaiting{}},
        Case{"BinaryGarbage",
             std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\r\n\r\n", 16),
             "404 Not Found", "Not found.", KeepsWaiting{}}),
    [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

TEST(CallbackServer, AHeaderThatNeverEndsIsAnsweredPastTheCap) {
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    Client client(server.port());
    client.write("GET /callback?code=big&state=S HTTP/1.1\r\nX-Long: " + std::string(16384, 'x'));
    EXPECT_EQ(client.readAll(),
              reply("200 OK", signedIn));  // the connection stays open: only the cap ends it
    EXPECT_EQ(wait.get(), "big");
}

TEST(CallbackServer, AHalfClosedRequestIsAnsweredFromWhatArrived) {
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    Client client(server.port());
    client.write("GET /callback?code=abc&state=S HTTP/1.1");  // no line end at all
    client.shutdownWrite();
    EXPECT_EQ(client.readAll(), reply("200 OK", signedIn));
    EXPECT_EQ(wait.get(), "abc");
}

TEST(CallbackServer, StalledAndBrokenConnectionsDoNotHoldUpAGoodCallback) {
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<Client>(server.port()));  // more than are kept
    Client partial(server.port());
    partial.write("GET /callback?code=slow&sta");
    Client reset(server.port());
    reset.write("GET /favicon.ico HTTP/1.1\r\n");
    reset.abort();  // the reply then goes to a dead peer: that must not raise SIGPIPE

    Client good(server.port());
    good.write(get("/callback?code=abc&state=S"));
    EXPECT_EQ(good.readAll(), reply("200 OK", signedIn));
    EXPECT_EQ(wait.get(), "abc");
    EXPECT_EQ(partial.readAll(), "");  // closed unanswered once the wait is over
}

TEST(CallbackServer, ACallbackThatArrivedAfterTheFirstGetsItsOwnReplyButChangesNothing) {
    CallbackServer server("S", 0, 10s);
    // Both requests are queued before the wait begins, in this order.
    Client first(server.port());
    first.write(get("/callback?code=first&state=S"));
    Client second(server.port());
    second.write(get("/callback?code=second&state=wrong"));
    EXPECT_EQ(server.waitForCode(), "first");
    EXPECT_EQ(first.readAll(), reply("200 OK", signedIn));
    EXPECT_EQ(second.readAll(), reply("400 Bad Request", "State mismatch."));
}

TEST(CallbackServer, ServesIpv6Loopback) {
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    Client client(server.port(), AF_INET6);
    if (!client.connected()) {
        server.cancel();
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    client.write(get("/callback?code=v6&state=S"));
    EXPECT_EQ(client.readAll(), reply("200 OK", signedIn));
    EXPECT_EQ(wait.get(), "v6");
}

TEST(CallbackServer, TimesOutAfterTheLimit) {
    CallbackServer server("S", 0, 100ms);
    try {
        server.waitForCode();
        FAIL() << "no time-out";
    } catch (const ServerError& e) {
        EXPECT_EQ(e.kind(), Kind::timeout);
        EXPECT_STREQ(e.what(), "Sign-in timed out (no browser callback within 5 minutes).");
    }
    EXPECT_FALSE(Client(server.port()).connected());  // the listener is gone
}

TEST(CallbackServer, CancelEndsTheWaitFromAnotherThread) {
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    server.cancel();
    EXPECT_THROW(wait.get(), CallbackCancelled);
}

TEST(CallbackServer, ErrorTextsAreTheUserFacingOnes) {
    EXPECT_STREQ(ServerError(Kind::stateMismatch).what(),
                 "OAuth state mismatch \xe2\x80\x94 try signing in again.");
    EXPECT_STREQ(ServerError(Kind::noCode).what(),
                 "Browser callback did not contain an authorization code.");
    EXPECT_STREQ(ServerError(Kind::portInUse).what(), "Port 8765 is already in use.");
}

// Listens like an unrelated program holding the port (no SO_REUSEADDR): IPv4 on every interface,
// IPv6 on ::1 only.
int occupy(int family, std::uint16_t port) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    const int on = 1;
    if (family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const auto [at, length] = address(family, port, true);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), length) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class PortInUseTest : public testing::TestWithParam<int> {};

TEST_P(PortInUseTest, AnOccupiedPortIsReportedWithItsNumber) {
    std::uint16_t port = 0;
    {
        CallbackServer probe("S", 0);  // finds a port free on both loopback addresses
        port = probe.port();
    }
    const int holder = occupy(GetParam(), port);
    if (holder < 0)
        GTEST_SKIP() << "cannot occupy the port with this address family";
    try {
        CallbackServer server("S", port);
        ADD_FAILURE() << "bound an occupied port";
    } catch (const ServerError& e) {
        EXPECT_EQ(e.kind(), Kind::portInUse);
        EXPECT_EQ(std::string(e.what()), "Port " + std::to_string(port) + " is already in use.");
    }
    ::close(holder);
}

INSTANTIATE_TEST_SUITE_P(Families, PortInUseTest, testing::Values(AF_INET, AF_INET6));

TEST(CallbackServer, TheSamePortCanBeBoundAgainRightAfterASignIn) {
    CallbackServer first("S", 0, 10s);
    const std::uint16_t port = first.port();
    auto firstWait = startWaiting(first);
    Client client(port);
    client.write(get("/callback?code=abc&state=S"));
    client.readAll();
    EXPECT_EQ(firstWait.get(), "abc");

    // The finished server still exists, its closed connection sits in TIME_WAIT: a retry binds
    // anyway.
    CallbackServer again("S", port, 10s);
    auto wait = startWaiting(again);
    Client retry(port);
    retry.write(get("/callback?code=again&state=S"));
    EXPECT_EQ(retry.readAll(), reply("200 OK", signedIn));
    EXPECT_EQ(wait.get(), "again");
}

// The local addresses of the listening TCP sockets on `port`, in /proc/net hex form.
std::vector<std::string> listeningAddresses(std::uint16_t port) {
    std::vector<std::string> found;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, "%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // column titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.find(':');
            if (state == "0A" && local.substr(colon + 1) == portHex)
                found.push_back(local.substr(0, colon));
        }
    }
    return found;
}

TEST(CallbackServer, ListensOnLoopbackOnly) {
    CallbackServer server("S", 0, 10s);
    const auto addresses = listeningAddresses(server.port());
    ASSERT_FALSE(addresses.empty());
    for (const auto& address : addresses)
        EXPECT_TRUE(address == "0100007F" || address == "00000000000000000000000001000000")
            << address;

    // And from an address of this host that is not loopback, nobody answers.
    ifaddrs* interfaces = nullptr;
    ASSERT_EQ(::getifaddrs(&interfaces), 0);
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in target = *reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (ntohl(target.sin_addr.s_addr) >> 24 == 127)
            continue;
        target.sin_port = htons(server.port());
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target), 0)
            << i->ifa_name;
        ::close(fd);
    }
    ::freeifaddrs(interfaces);
}

}  // namespace
}  // namespace trayline

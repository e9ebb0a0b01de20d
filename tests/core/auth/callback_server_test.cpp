#include "core/auth/callback_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <variant>

namespace trayline {
namespace {

using namespace std::chrono_literals;
using Kind = ServerError::Kind;

sockaddr_in ipv4(std::uint16_t port, in_addr_t host = INADDR_LOOPBACK) {
    return {AF_INET, htons(port), {htonl(host)}, {}};
}

// A raw TCP client, so tests control every byte and every half of the connection.
class Client {
public:
    explicit Client(std::uint16_t port) {
        const timeval fiveSeconds{5, 0};  // a missing reply fails the test instead of hanging it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &fiveSeconds, sizeof fiveSeconds);
        const auto to = ipv4(port);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    void write(std::string_view bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    void reset() {  // closes with a reset instead of an orderly end
        const linger now{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        ::close(std::exchange(fd_, -1));
    }
    std::string readAll() {
        std::string all;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }

private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    bool connected_ = false;
};

std::future<std::string> startWaiting(CallbackServer& server) {
    return std::async(std::launch::async, [&server] { return server.waitForCode(); });
}

std::string reply(const std::string& status, const std::string& body) {
    const std::string page = "<html><body style=\"font-family:-apple-system;text-align:center;margin-top:20vh\">" +
                             body + "</body></html>";
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
}

const std::string ok = "200 OK", bad = "400 Bad Request", notFound = "404 Not Found";
const std::string signedIn = "<h2>Signed in \u2713</h2><p>You can close this tab and return to the menu bar app.</p>";
const std::string missing = "Missing code.", mismatch = "State mismatch.";

std::string request(const std::string& line) { return line + "\r\nHost: localhost:8765\r\nAccept: */*\r\n\r\n"; }
std::string get(const std::string& target) { return request("GET " + target + " HTTP/1.1"); }

struct KeepsWaiting {};
struct Case {
    std::string name, sent, status, body;
    std::variant<KeepsWaiting, std::string, Kind> result;  // or the code, or the failure
};

class CallbackRequestTest : public testing::TestWithParam<Case> {};

TEST_P(CallbackRequestTest, RepliesAndEndsTheWaitAsTheRequestLineSays) {
    const Case& c = GetParam();
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    Client client(server.port());
    client.write(c.sent);
    client.shutdownWrite();  // a request without its blank line is answered from what arrived
    EXPECT_EQ(client.readAll(), reply(c.status, c.body));
    if (std::holds_alternative<KeepsWaiting>(c.result)) {
        Client next(server.port());  // still listening: a proper callback ends the wait
        next.write(get("/callback?code=after&state=S"));
        EXPECT_EQ(next.readAll(), reply(ok, signedIn));
        EXPECT_EQ(wait.get(), "after");
    } else if (const auto* code = std::get_if<std::string>(&c.result)) {
        EXPECT_EQ(wait.get(), *code);
    } else {
        try {
            ADD_FAILURE() << "got a code: " << wait.get();
        } catch (const ServerError& e) {
            EXPECT_EQ(e.kind(), std::get<Kind>(c.result));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallbackRequestTest,
    testing::Values(
        Case{"Favicon", get("/favicon.ico"), notFound, "Not found.", KeepsWaiting{}},
        Case{"NoLineEnd", "GET /callback?code=abc&state=S HTTP/1.1", ok, signedIn, "abc"},
        Case{"PrefixOnly", get("/callbackX?code=abc&state=S"), ok, signedIn, "abc"},
        Case{"MethodVersionAndSpacesIgnored", request("POST  /callback?state=S&code=abc  HTTP/1.0"), ok, signedIn,
             "abc"},
        Case{"CodeInBodyNotSeen", "POST /callback?state=S HTTP/1.1\r\nContent-Length: 8\r\n\r\ncode=abc", bad,
             missing, Kind::noCode},
        Case{"EmptyCode", get("/callback?state=S&code="), bad, missing, Kind::noCode},
        Case{"ErrorDescription", get("/callback?error=access_denied&error_description=User%20denied&state=S"), bad,
             "User denied", Kind::noCode},
        Case{"ErrorOnly", get("/callback?error=access_denied&state=S"), bad, "access_denied", Kind::noCode},
        Case{"DescriptionIsEscaped",
             get("/callback?error_description=%3Cscript%3Ealert(%27x%27)%3C/script%3E%20%26%20%22q%22&state=S"), bad,
             "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;", Kind::noCode},
        Case{"StateCaseDiffers", get("/callback?code=abc&state=s"), bad, mismatch, Kind::stateMismatch},
        Case{"NoState", get("/callback?code=abc"), bad, mismatch, Kind::stateMismatch},
        Case{"StateWithoutValue", get("/callback?code=abc&state"), bad, mismatch, Kind::stateMismatch},
        Case{"FirstStateCounts", get("/callback?state=x&code=abc&state=S"), bad, mismatch, Kind::stateMismatch},
        Case{"StateCheckedBeforeCode", get("/callback?error=denied&state=x"), bad, mismatch, Kind::stateMismatch},
        Case{"FirstCodeCounts", get("/callback?code=&code=abc&state=S"), bad, missing, Kind::noCode},
        Case{"EncodedPlus", get("/callback?code=a%2Bb&state=S"), ok, signedIn, "a+b"},
        Case{"LiteralPlusStays", get("/callback?code=a+b&state=S"), ok, signedIn, "a+b"},
        Case{"StateIsDecoded", get("/callback?code=abc&state=%53"), ok, signedIn, "abc"},
        Case{"CodeThatIsNotUtf8", get("/callback?code=%FF&state=S"), bad, missing, Kind::noCode},
        Case{"BadEscapeIsNotAUrl", get("/callback?code=abc%G1&state=S"), notFound, "Not found.", KeepsWaiting{}},
        Case{"NoTarget", request("GET"), notFound, "Not found.", KeepsWaiting{}},
        Case{"InvalidUtf8Anywhere", "GET /callback?code=abc&state=S HTTP/1.1\r\nX-Junk: \xff\xfe\r\n\r\n", notFound,
             "Not found.", KeepsWaiting{}},
        Case{"BinaryGarbage", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\r\n\r\n", 16), notFound,
             "Not found.", KeepsWaiting{}}),
    [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

TEST(CallbackServer, AHeaderThatNeverEndsIsAnsweredPastTheCap) {
    CallbackServer server("S", 0, 10s);
    auto wait = startWaiting(server);
    Client client(server.port());  // stays open: only the cap ends the request
    client.write("GET /callback?code=big&state=S HTTP/1.1\r\nX-Long: " + std::string(16384, 'x'));
    EXPECT_EQ(client.readAll(), reply(ok, signedIn));
    EXPECT_EQ(wait.get(), "big");
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
    reset.reset();  // the reply then goes to a dead peer: that must not raise SIGPIPE
    Client good(server.port());
    good.write(get("/callback?code=abc&state=S"));
    EXPECT_EQ(good.readAll(), reply(ok, signedIn));
    EXPECT_EQ(wait.get(), "abc");
    EXPECT_EQ(partial.readAll(), "");  // closed unanswered once the wait is over
}

TEST(CallbackServer, ACallbackAfterTheFirstGetsItsOwnReplyButChangesNothing) {
    CallbackServer server("S", 0, 10s);
    Client first(server.port()), second(server.port());  // both queued before the wait begins
    first.write(get("/callback?code=first&state=S"));
    second.write(get("/callback?code=second&state=wrong"));
    EXPECT_EQ(server.waitForCode(), "first");
    EXPECT_EQ(first.readAll(), reply(ok, signedIn));
    EXPECT_EQ(second.readAll(), reply(bad, mismatch));
}

TEST(CallbackServer, TimesOutAfterTheLimit) {
    CallbackServer server("S", 0, 100ms);
    try {
        server.waitForCode();
        ADD_FAILURE() << "no time-out";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Sign-in timed out (no browser callback within 5 minutes).");
    }
    EXPECT_FALSE(Client(server.port()).connected()) << "the listener is gone";
}

// Held as an unrelated program would hold it: on every IPv4 address, without SO_REUSEADDR.
TEST(CallbackServer, AnOccupiedPortIsReportedWithItsNumber) {
    const auto port = CallbackServer("S", 0).port();
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto at = ipv4(port, INADDR_ANY);
    ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    ::listen(holder, 1);
    try {
        CallbackServer server("S", port);
        ADD_FAILURE() << "bound an occupied port";
    } catch (const ServerError& e) {
        EXPECT_EQ(std::string(e.what()), "Port " + std::to_string(port) + " is already in use.");
    }
    ::close(holder);
}

TEST(CallbackServer, ListensOnLoopbackOnly) {
    CallbackServer server("S", 0, 10s);
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", server.port());
    int listening = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string slot, local, remote, state, rest;
        std::getline(in, rest);  // column titles
        while (in >> slot >> local >> remote >> state && std::getline(in, rest)) {
            if (state != "0A" || !local.ends_with(port))
                continue;
            ++listening;
            EXPECT_TRUE(local.starts_with("0100007F:") || local.starts_with("00000000000000000000000001000000:"))
                << local;
        }
    }
    EXPECT_GT(listening, 0);
}

}  // namespace
}  // namespace trayline

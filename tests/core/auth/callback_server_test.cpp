#include "core/auth/callback_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <regex>
#include <sstream>

namespace trayline {
namespace {

using namespace std::chrono_literals;

// A raw TCP client, so tests control every byte and every half of the connection.
class Client {
public:
    explicit Client(std::uint16_t port) {
        const timeval fiveSeconds{5, 0};  // a missing reply fails the test instead of hanging it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &fiveSeconds, sizeof fiveSeconds);
        const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    }
    ~Client() { ::close(fd_); }
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
};

// Waits on another thread; the future holds the code, or the text of the failure.
std::future<std::string> startWaiting(CallbackServer& server) {
    return std::async(std::launch::async, [&server]() -> std::string {
        try {
            return server.waitForCode();
        } catch (const std::exception& e) {
            return e.what();
        }
    });
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

const std::string noCode = ServerError(ServerError::Kind::noCode).what();
const std::string stateMismatch = ServerError(ServerError::Kind::stateMismatch).what();

struct Case {
    std::string name, sent, status, body;
    std::string result;  // the code or failure the wait ends with; empty: it keeps waiting
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
    if (c.result.empty()) {
        Client next(server.port());  // still listening: a proper callback ends the wait
        next.write(get("/callback?code=after&state=S"));
        EXPECT_EQ(next.readAll(), reply(ok, signedIn));
    }
    EXPECT_EQ(wait.get(), c.result.empty() ? "after" : c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallbackRequestTest,
    testing::Values(
        Case{"Favicon", get("/favicon.ico"), notFound, "Not found.", ""},
        Case{"NoLineEnd", "GET /callback?code=abc&state=S HTTP/1.1", ok, signedIn, "abc"},
        Case{"MethodVersionAndSpacesIgnored", request("POST  /callback?state=S&code=abc  HTTP/1.0"), ok, signedIn,
             "abc"},
        Case{"CodeInBodyNotSeen", "POST /callback?state=S HTTP/1.1\r\nContent-Length: 8\r\n\r\ncode=abc", bad,
             missing, noCode},
        Case{"ErrorOnly", get("/callback?error=access_denied&state=S"), bad, "access_denied", noCode},
        Case{"DescriptionShownEscaped",
             get("/callback?error=x&error_description=%3Cb%3E%27x%27%3C/b%3E%20%26%20%22q%22&state=S"), bad,
             "&lt;b&gt;&#39;x&#39;&lt;/b&gt; &amp; &quot;q&quot;", noCode},
        Case{"StateCaseDiffers", get("/callback?code=abc&state=s"), bad, mismatch, stateMismatch},
        Case{"NoState", get("/callback?code=abc"), bad, mismatch, stateMismatch},
        Case{"FirstStateCounts", get("/callback?state=x&code=abc&state=S"), bad, mismatch, stateMismatch},
        Case{"StateCheckedBeforeCode", get("/callback?error=denied&state=x"), bad, mismatch, stateMismatch},
        Case{"EncodedPlus", get("/callback?code=a%2Bb&state=S"), ok, signedIn, "a+b"},
        Case{"LiteralPlusStays", get("/callback?code=a+b&state=S"), ok, signedIn, "a+b"},
        Case{"CodeThatIsNotUtf8", get("/callback?code=%FF&state=S"), bad, missing, noCode},
        Case{"BinaryGarbage", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\r\n\r\n", 16), notFound,
             "Not found.", ""}),
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
    auto wait = startWaiting(server);
    EXPECT_EQ(wait.get(), "Sign-in timed out (no browser callback within 5 minutes).");
    EXPECT_NO_THROW(CallbackServer("S", server.port())) << "the port is free again";
}

TEST(CallbackServer, ListensOnLoopbackOnly) {
    CallbackServer server("S", 0, 10s);
    std::stringstream tables;
    tables << std::ifstream("/proc/net/tcp").rdbuf() << std::ifstream("/proc/net/tcp6").rdbuf();
    char listening[64];  // local address, port, remote address, state "listen"
    std::snprintf(listening, sizeof listening, "([0-9A-F]+):%04X [0-9A-F]+:[0-9A-F]+ 0A ", server.port());
    const std::regex pattern(listening);
    const auto text = tables.str();
    int count = 0;
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m, ++count)
        EXPECT_TRUE(m->str(1) == "0100007F" || m->str(1) == "00000000000000000000000001000000") << m->str(1);
    EXPECT_GT(count, 0);
}

}  // namespace
}  // namespace trayline

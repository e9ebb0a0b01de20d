#include "core/platform/http.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "core/platform/http_engine.h"
#include "core/platform/http_redirect.h"
#include "core/platform/http_retry.h"
#include "support/temp_env.h"

namespace trayline::http {
namespace {

using namespace std::chrono_literals;

// A real HTTP server on an ephemeral loopback port that records what it was sent.
class TestServer {
public:
    struct State {
        httplib::Request last;
        int requests = 0;
        std::set<int> peers;  // client ports of the requests
    };

    // A connection serves `requestsPerConnection` requests, then the server closes it, so that no
    // idle keep-alive connection delays the server's shutdown at the end of a test.
    explicit TestServer(std::size_t requestsPerConnection = 1) {
        server_.set_keep_alive_max_count(requestsPerConnection);
        const auto echo = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            state_.last = req;
            ++state_.requests;
            state_.peers.insert(req.remote_port);
            res.set_content("echo " + req.method + " " + req.body, "text/plain");
        };
        server_.Get("/echo", echo);
        server_.Post("/echo", echo);
        // Answers with the status in the path; a redirect points at the "to" parameter or /echo.
        const auto status = [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            res.set_header("Location", req.has_param("to") ? req.get_param_value("to") : "/echo");
            res.set_content("status " + std::string(req.matches[1]), "text/plain");
        };
        server_.Get(R"(/status/(\d+))", status);
        server_.Post(R"(/status/(\d+))", status);
        // Answers only when the test ends (or after 20 s).
        server_.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, 20s, [this] { return released_; });
            res.set_content("late", "text/plain");
        });
        // Answers once four requests are waiting here together (or after 20 s, then "alone").
        server_.Get("/together", [this](const httplib::Request& req, httplib::Response& res) {
            std::unique_lock lock(mutex_);
            ++state_.requests;
            state_.peers.insert(req.remote_port);
            const int group = arrived_++ / 4;
            changed_.notify_all();
            const bool met = changed_.wait_for(lock, 20s, [&] { return released_ || arrived_ >= 4 * (group + 1); });
            res.set_content(met && !released_ ? "together" : "alone", "text/plain");
        });
        // Ten bytes, 150 ms apart (not as text, which httplib would compress and so hold back).
        server_.Get("/trickle", [](const httplib::Request&, httplib::Response& res) {
            const auto type = "application/octet-stream";
            res.set_chunked_content_provider(type, [](std::size_t at, httplib::DataSink& sink) {
                if (at == 10) {
                    sink.done();
                    return true;
                }
                std::this_thread::sleep_for(150ms);
                return sink.write("0123456789" + at, 1);
            });
        });
        server_.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(std::size_t{1} << 20, 'x'), "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(1ms);
    }

    ~TestServer() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
            changed_.notify_all();
        }
        server_.stop();
        thread_.join();
    }

    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(port_) + path;
    }
    State state() {
        std::lock_guard lock(mutex_);
        return state_;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    int arrived_ = 0;  // at /together
    State state_;
};

Request to(const std::string& url, const std::function<void(Request&)>& tweak = {}) {
    Request request;
    request.url = url;
    if (tweak)
        tweak(request);
    return request;
}

TEST(Http, RedirectsAreFollowedOnlyWhenAskedKeepCredentialsToTheirHostAndA303TurnsAPostIntoAGet) {
    TestServer server;
    const Response unfollowed = send(to(server.url("/status/302")));
    EXPECT_EQ(unfollowed.status, 302);
    EXPECT_EQ(unfollowed.body, "status 302");
    EXPECT_EQ(server.state().requests, 0);  // a followed 302 would have reached /echo
    const std::pair<std::string, std::string> rows[] = {
        {"/status/303?to=" + server.url("/echo", "localhost"), "GET  "},
        {"/status/307", "POST Bearer secret {}"},
    };
    for (const auto& [path, seen] : rows) {
        send(to(server.url(path), [](Request& r) {
            r.method = "POST";
            r.body = "{}";
            r.headers = {{"Authorization", "Bearer secret"}};
            r.maxRedirects = 1;
        }));
        const auto last = server.state().last;
        EXPECT_EQ(last.method + " " + last.get_header_value("Authorization") + " " + last.body, seen) << path;
    }
}

// Which headers a redirect carries on: credentials only within their origin (scheme, host and
// port, default ports included).
TEST(HttpRedirect, CredentialsStayWithinTheirOrigin) {
    const struct {
        const char *from, *to;
        bool keeps;
    } rows[] = {
        {"http://h:8080/a", "http://H:8080/b", true},
        {"https://h/a", "https://h:443/b", true},
        {"http://h:8080/a", "http://h:9090/b", false},
        {"http://h:8443/a", "https://h:8443/b", false},
        {"https://h/a", "https://other/b", false},
    };
    for (const auto& row : rows) {
        Request from = to(row.from, [](Request& r) {
            r.headers = {{"authorization", "Bearer t"}, {"Cookie", "c=1"}, {"Accept", "x/y"}};
        });
        std::vector<std::string> visited{row.from};
        const Request hop = nextHop(from, row.to, 302, visited, 10);
        EXPECT_EQ(hop.headers.size(), row.keeps ? 3u : 1u) << row.from << " -> " << row.to;
        EXPECT_EQ(hop.headers.back().first, "Accept");
    }
}

// The engine runs every transfer in one thread: four requests started from one caller are on the
// wire at once, and a second round finds the four connections of the first waiting for it.
TEST(HttpEngine, RequestsStartedTogetherRunTogetherAndTheNextRoundReusesTheirConnections) {
    TestServer server(2);  // closed after the second round, so the server stops at once
    std::size_t connections = 0;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::future<Response>> replies;
        for (int i = 0; i < 4; ++i)
            replies.push_back(sendAsync(to(server.url("/together"))));
        for (auto& reply : replies)
            EXPECT_EQ(reply.get().body, "together") << "round " << round;
        if (round == 0)
            connections = server.state().peers.size();
    }
    EXPECT_EQ(connections, 4u);
    EXPECT_EQ(server.state().peers.size(), connections) << "the second round opened connections";
}

// The threads of this process and the processor time it has used, in clock ticks, from /proc/self/stat.
std::pair<long, long> threadsAndTicks() {
    std::ifstream in("/proc/self/stat");
    const std::string stat{std::istreambuf_iterator<char>(in), {}};
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after the command's name
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    // Fields 14 and 15 (utime, stime) and 20 (num_threads), counted from 1 with the pid and name.
    return {std::stol(f.at(17)), std::stol(f.at(11)) + std::stol(f.at(12))};
}

// A tray that polls every few minutes must not be woken in between: the idle I/O thread sleeps
// through its linger and then ends.
TEST(HttpEngine, AnIdleThreadSleepsThroughItsLingerAndThenEnds) {
    std::optional<TestServer> server(std::in_place);
    EXPECT_EQ(send(to(server->url("/echo"))).status, 200);
    server.reset();
    const auto [threads, ticks] = threadsAndTicks();
    const auto deadline = std::chrono::steady_clock::now() + detail::kEngineLinger + 15s;
    while (threadsAndTicks().first >= threads && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(200ms);
    EXPECT_LT(threadsAndTicks().first, threads) << "the engine thread outlived its linger";
    // This loop wakes five times a second, which costs far less than half a second in all.
    EXPECT_LT(threadsAndTicks().second - ticks, ::sysconf(_SC_CLK_TCK) / 2) << "busy while idle";
}

// A child process serving HTTP/2 only (tests/core/platform/h2_server.mjs under Node) with a
// self-signed certificate for 127.0.0.1; ended when this goes.
class Http2Server {
public:
    explicit Http2Server(const std::filesystem::path& dir) {
        const auto key = dir / "key.pem", cert = dir / "cert.pem";
        const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                                 "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                                 key.string() + "' -out '" + cert.string() + "' 2>/dev/null";
        EXPECT_EQ(std::system(make.c_str()), 0);
        certificatePEM = test::readFile(cert);
        int in[2], out[2];
        // Close-on-exec, so the child keeps no end of its own stdin open and sees it close.
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execlp("node", "node", TRAYLINE_SOURCE_DIR "/tests/core/platform/h2_server.mjs", key.c_str(),
                     cert.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        std::string line;
        for (char c; ::read(out[0], &c, 1) == 1 && c != '\n';)
            line += c;
        ::close(out[0]);
        port = line;
    }
    ~Http2Server() {
        ::close(stdin_);
        ::waitpid(pid_, nullptr, 0);
    }
    std::string port;
    std::string certificatePEM;

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
};

// Streams to a server that speaks HTTP/2 share one connection, also when they start together.
TEST(HttpEngine, RequestsToAnHttp2ServerShareOneConnection) {
    if (std::system("command -v node >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Node is not installed";
    test::TempProfile dir;
    Http2Server server(dir.root());
    ASSERT_FALSE(server.port.empty());
    std::vector<std::future<Response>> replies;
    for (int i = 0; i < 4; ++i)
        replies.push_back(sendAsync(to("https://127.0.0.1:" + server.port + "/",
                                       [&](Request& r) { r.trustedCertificatesPEM = server.certificatePEM; })));
    for (auto& reply : replies)
        EXPECT_EQ(reply.get().body, "together over 1");
}

TEST(HttpEngine, ACancelledRequestEndsAloneAndAFailedOneLeavesTheOthersRunning) {
    TestServer server;
    std::atomic<bool> cancel = false;
    auto slow = sendAsync(to(server.url("/slow"), [&](Request& r) { r.cancel = &cancel; }));
    auto refused = sendAsync(to("http://127.0.0.1:1/"));
    auto smuggled = sendAsync(to(server.url("/echo"), [](Request& r) { r.headers = {{"X", "a\nb"}}; }));
    EXPECT_EQ(send(to(server.url("/echo"))).body, "echo GET ");
    EXPECT_THROW(refused.get(), TransportError);
    EXPECT_THROW(smuggled.get(), TransportError);
    EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout) << "the slow request is still waiting";
    cancel = true;
    EXPECT_EQ(slow.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(slow.get(), Cancelled);
}

TEST(HttpDownload, StreamsTheBodyToAFileEndsOnlyWhenNothingArrivesForTheStallTimeAndNeverHoldsUpOthers) {
    TestServer server;
    test::TempProfile profile;
    const auto file = profile.root() / "download";
    const auto request = [&](const std::string& path) {
        return to(server.url(path), [](Request& r) {
            r.stallTimeout = 1s;
            r.timeout = 30s;  // only a bound for a hang
        });
    };
    // Slower in total than the stall time, but never idle for anything near it.
    const Response response = download(request("/trickle"), file);
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(response.body.empty());
    EXPECT_EQ(response.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(test::readFile(file), "0123456789");
    try {
        download(request("/slow"), file);
        FAIL() << "not stalled";
    } catch (const Stalled& e) {
        EXPECT_STREQ(e.what(), "Timeout was reached: no data received for 1 s");
    }
    EXPECT_FALSE(std::filesystem::exists(file)) << "a failed download leaves no partial file";

    // The engine's I/O thread never writes a download's file, so a destination that blocks holds up
    // no other request.
    const auto pipe = profile.root() / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    auto big = std::async(std::launch::async, [&] { return download(to(server.url("/big")), pipe); });
    std::this_thread::sleep_for(300ms);  // the pipe is full
    auto other = sendAsync(to(server.url("/echo")));
    EXPECT_EQ(other.wait_for(5s), std::future_status::ready);
    char buffer[65536];
    while (big.wait_for(10ms) != std::future_status::ready)
        (void)!::read(reader, buffer, sizeof buffer);
    EXPECT_EQ(big.get().status, 200);
    ::close(reader);
}

// When a rate-limited or overloaded instance lets us ask again, read from its reply's headers.
struct RetryRow {
    long status;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<long long> waitSeconds;  // none: the reply asks for no wait
    bool noted;                            // the wait is not the one the reply named
};

class RetryAfterTest : public ::testing::TestWithParam<RetryRow> {};

TEST_P(RetryAfterTest, IsTheInstancesTimeBoundedToASecondAndAnHour) {
    const Instant now = *parseUtc("2026-12-07 12:00:00");
    const long long epoch = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    Response reply;
    reply.status = GetParam().status;
    for (auto [name, value] : GetParam().headers) {
        if (value.starts_with("epoch+"))
            value = std::to_string(epoch + std::stoll(value.substr(6)));
        reply.headers.emplace_back(name, value);
    }
    const auto retry = retryAfterOf(reply, now);
    ASSERT_EQ(retry.has_value(), GetParam().waitSeconds.has_value());
    if (!retry)
        return;
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(retry->at - now).count(), *GetParam().waitSeconds);
    EXPECT_EQ(!retry->note.empty(), GetParam().noted) << retry->note;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RetryAfterTest,
    ::testing::Values(RetryRow{429, {{"Retry-After", "38"}}, 38, false},
                      RetryRow{429, {{"retry-after", " Mon, 07 Dec 2026 12:02:00 GMT"}}, 120, false},
                      RetryRow{429, {{"Retry-After", "86400"}}, 3600, true},
                      RetryRow{429, {{"Retry-After", "99999999999999999999999"}}, 3600, true},
                      RetryRow{429, {{"Retry-After", "-5"}}, 1, true},
                      RetryRow{429, {{"Retry-After", "Mon, 07 Dec 2026 11:00:00 GMT"}}, 1, true},
                      RetryRow{429, {{"Retry-After", "soon"}}, 60, true},
                      RetryRow{429, {{"X-RateLimit-Reset", "epoch+90"}}, 90, false},
                      RetryRow{429, {{"X-RateLimit-Reset", "epoch+90"}, {"Retry-After", "5"}}, 5, false},
                      RetryRow{429, {}, 60, true},
                      RetryRow{503, {{"Retry-After", "10"}}, 10, false},
                      RetryRow{503, {}, std::nullopt, false},
                      RetryRow{500, {{"Retry-After", "10"}}, std::nullopt, false}));

}  // namespace
}  // namespace trayline::http

#include "core/platform/http.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <set>
#include <thread>

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
            res.set_header("X-Reply", "yes");
            res.set_content("echo " + req.method + " " + req.body, "text/plain");
        };
        server_.Get("/echo", echo);
        server_.Post("/echo", echo);
        server_.Put("/echo", echo);
        server_.Patch("/echo", echo);
        server_.Delete("/echo", echo);
        // Answers with the status in the path; a redirect points at the "to" parameter or /echo.
        const auto status = [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            res.set_header("Location", req.has_param("to") ? req.get_param_value("to") : "/echo");
            res.set_content("status " + std::string(req.matches[1]), "text/plain");
        };
        server_.Get(R"(/status/(\d+))", status);
        server_.Post(R"(/status/(\d+))", status);
        server_.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
            static const char gz[] =
                "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\x48\xcd\xc9\xc9\xd7\x51\x48\xce\xcf\x2d\x28"
                "\x4a\x2d\x2e\x4e\x4d\x51\x28\xcf\x2f\xca\x49\x01\x00\x08\x9e\x34\x35\x17\x00\x00\x00";
            res.set_header("Content-Encoding", "gzip");
            res.set_content(std::string(gz, sizeof gz - 1), "text/plain");
        });
        // Answers only when the test ends (or after 20 s).
        server_.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(mutex_);
            ++state_.requests;
            changed_.notify_all();
            changed_.wait_for(lock, 20s, [this] { return released_; });
            res.set_content("late", "text/plain");
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
    // Waits (at most 20 s) until a request has arrived.
    void waitForARequest() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 20s, [this] { return state_.requests > 0; });
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    State state_;
};

// A request for `url`, adjusted by `tweak`.
Request to(const std::string& url, const std::function<void(Request&)>& tweak = {}) {
    Request request;
    request.url = url;
    if (tweak)
        tweak(request);
    return request;
}

class HttpMethodTest : public testing::TestWithParam<const char*> {};

TEST_P(HttpMethodTest, SendsMethodHeadersAndBodyAndReadsTheReply) {
    TestServer server;
    const std::string method = GetParam();
    const std::string body = method == "GET" ? "" : R"({"state":"3","note":"ünïcode & more"})";
    const Response response = send(to(server.url("/echo"), [&](Request& r) {
        r.method = method;
        r.headers = {{"X-Test", "a b=c"}};
        r.body = body;
    }));

    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "echo " + method + " " + body);
    EXPECT_EQ(response.header("x-reply"), "yes");
    const auto seen = server.state().last;
    EXPECT_EQ(seen.method, method);
    EXPECT_EQ(seen.body, body);
    EXPECT_EQ(seen.get_header_value("X-Test"), "a b=c");
    EXPECT_EQ(seen.get_header_value("User-Agent"), std::string("Trayline/") + TRAYLINE_VERSION);
    EXPECT_FALSE(seen.has_header("Cache-Control"));
}

INSTANTIATE_TEST_SUITE_P(Methods, HttpMethodTest, testing::Values("GET", "POST", "PATCH", "PUT", "DELETE"));

TEST(Http, NoCacheAsksForAFreshReply) {
    TestServer server;
    send(to(server.url("/echo"), [](Request& r) { r.noCache = true; }));
    EXPECT_EQ(server.state().last.get_header_value("Cache-Control"), "no-cache");
    EXPECT_EQ(server.state().last.get_header_value("Pragma"), "no-cache");
}

TEST(Http, AHeaderValueCannotAddHeadersOfItsOwn) {
    TestServer server;
    EXPECT_THROW(send(to(server.url("/echo"),
                         [](Request& r) {
                             r.headers = {{"Authorization", "x\r\nX-Evil: 1"}};
                         })),
                 TransportError);
    EXPECT_EQ(server.state().requests, 0);
}

TEST(Http, ALargeBodyGoesWithoutWaitingForA100Continue) {
    TestServer server;
    const std::string body(2 << 20, 'b');  // curl would ask to continue for anything this large
    const Response response = send(to(server.url("/echo"), [&](Request& r) {
        r.method = "POST";
        r.headers = {{"Content-Type", "application/octet-stream"}};
        r.body = body;
    }));
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(server.state().last.body == body)
        << "received " << server.state().last.body.size() << " bytes";
    EXPECT_FALSE(server.state().last.has_header("Expect"));
}

class HttpStatusTest : public testing::TestWithParam<long> {};

TEST_P(HttpStatusTest, EveryStatusIsReturnedWithItsBodyAndRedirectsAreNotFollowed) {
    TestServer server;
    const long status = GetParam();
    const Response response = send(to(server.url("/status/" + std::to_string(status))));
    EXPECT_EQ(response.status, status);
    EXPECT_EQ(response.body, status == 204 ? "" : "status " + std::to_string(status));
    EXPECT_EQ(server.state().requests, 0);  // a followed 302 would have reached /echo
}

INSTANTIATE_TEST_SUITE_P(Statuses, HttpStatusTest, testing::Values(200L, 204L, 302L, 401L, 404L, 500L));

TEST(Http, RedirectsKeepCredentialsToTheirHostAndA303TurnsAPostIntoAGet) {
    TestServer server;
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

TEST(Http, CompressedRepliesAreDecoded) {
    TestServer server;
    EXPECT_EQ(send(to(server.url("/gzip"))).body, "hello, compressed world");
}

TEST(Http, TimeoutFailsWithCurlsText) {
    TestServer server;
    try {
        send(to(server.url("/slow"), [](Request& r) { r.timeout = 200ms; }));
        FAIL() << "no time-out";
    } catch (const Cancelled&) {
        FAIL() << "a time-out is not a cancellation";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), 28);  // CURLE_OPERATION_TIMEDOUT
        EXPECT_TRUE(std::string(e.what()).starts_with("Timeout was reached")) << e.what();
    }
}

TEST(Http, CancellingFromAnotherThreadEndsARequestInFlight) {
    TestServer server;
    std::atomic<bool> cancel = false;
    std::thread canceller([&] {
        server.waitForARequest();
        cancel = true;
    });
    // Without the cancellation the reply would come, late, when the server ends.
    EXPECT_THROW(send(to(server.url("/slow"), [&](Request& r) { r.cancel = &cancel; })), Cancelled);
    canceller.join();
}

TEST(Http, AnAlreadyCancelledRequestIsNeverSent) {
    TestServer server;
    const std::atomic<bool> cancel = true;
    EXPECT_THROW(send(to(server.url("/echo"), [&](Request& r) { r.cancel = &cancel; })), Cancelled);
    EXPECT_EQ(server.state().requests, 0);
}

TEST(Http, SequentialCallsFromDifferentThreadsReuseOneConnection) {
    TestServer server(4);
    for (int i = 0; i < 4; ++i)
        std::thread([&] { EXPECT_EQ(send(to(server.url("/echo"))).status, 200); }).join();
    EXPECT_EQ(server.state().peers.size(), 1u);
}

TEST(Http, ConcurrentCallsAllSucceed) {
    TestServer server;
    std::vector<std::thread> threads;
    std::atomic<int> ok = 0;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i)
                ok +=
                    send(to(server.url("/echo"), [](Request& r) { r.method = "POST"; })).body == "echo POST ";
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(ok, 30);
}

TEST(Http, RefusedConnectionIsATransportError) {
    try {
        send(to("http://127.0.0.1:1/"));  // a privileged port nothing listens on
        FAIL() << "connected";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), 7);  // CURLE_COULDNT_CONNECT
        EXPECT_TRUE(std::string(e.what()).starts_with("Couldn't connect to server")) << e.what();
    }
}

TEST(HttpDownload, StreamsTheBodyToAFileAndEndsOnlyWhenNothingArrivesForTheStallTime) {
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
}

}  // namespace
}  // namespace trayline::http

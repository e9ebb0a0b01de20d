#include "core/platform/http.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace trayline::http {
namespace {

using namespace std::chrono_literals;

// A real HTTP server on an ephemeral loopback port that records what it was sent.
class TestServer {
public:
    struct Seen {
        std::string method, body;
        std::multimap<std::string, std::string> headers;  // httplib folds names case-insensitively
    };

    // A connection serves `requestsPerConnection` requests, then the server closes it, so that no
    // idle keep-alive connection delays the server's shutdown at the end of a test.
    explicit TestServer(std::size_t requestsPerConnection = 1) {
        server_.set_keep_alive_max_count(requestsPerConnection);
        auto record = [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard lock(mutex_);
                last_ = Seen{req.method, req.body, {req.headers.begin(), req.headers.end()}};
                ++requests_;
            }
            res.set_header("X-Reply", "yes");
            res.set_content("echo " + req.method + " " + req.body, "text/plain");
        };
        server_.Get("/echo", record);
        server_.Post("/echo", record);
        server_.Put("/echo", record);
        server_.Patch("/echo", record);
        server_.Delete("/echo", record);
        server_.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            if (res.status == 302)
                res.set_header("Location", "/echo");
            res.set_content("status " + std::string(req.matches[1]), "text/plain");
        });
        server_.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
            static const char gz[] =
                "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\x48\xcd\xc9\xc9\xd7\x51\x48\xce\xcf"
                "\x2d\x28"
                "\x4a\x2d\x2e\x4e\x4d\x51\x28\xcf\x2f\xca\x49\x01\x00\x08\x9e\x34\x35\x17\x00\x00"
                "\x00";
            res.set_header("Content-Encoding", "gzip");
            res.set_content(std::string(gz, sizeof gz - 1), "text/plain");
        });
        server_.Get("/peer", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            peers_.insert(req.remote_port);
            res.set_content("ok", "text/plain");
        });
        server_.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            waitForRelease();
            res.set_content("late", "text/plain");
        });
        server_.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream",
                                             [](std::size_t offset, httplib::DataSink& sink) {
                                                 if (offset >= bigSize) {
                                                     sink.done();
                                                     return true;
                                                 }
                                                 const std::string chunk = bigChunk(offset);
                                                 return sink.write(chunk.data(), chunk.size());
                                             });
        });
        // Sends a first part of the body, then stalls.
        server_.Get("/half", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream",
                                             [this](std::size_t offset, httplib::DataSink& sink) {
                                                 if (offset > 0) {
                                                     waitForRelease();
                                                     return false;
                                                 }
                                                 const std::string part(65536, 'x');
                                                 return sink.write(part.data(), part.size());
                                             });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(1ms);
    }

    ~TestServer() {
        release();
        server_.stop();
        thread_.join();
    }

    static constexpr std::size_t bigSize = 1 << 20;
    static std::string bigChunk(std::size_t offset) {
        std::string chunk(std::min<std::size_t>(4096, bigSize - offset), '\0');
        for (std::size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>('a' + (offset + i) % 26);
        return chunk;
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    Seen last() {
        std::lock_guard lock(mutex_);
        return last_;
    }
    int requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::size_t distinctPeers() {
        std::lock_guard lock(mutex_);
        return peers_.size();
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        releasedCv_.notify_all();
    }

private:
    void waitForRelease() {
        std::unique_lock lock(mutex_);
        releasedCv_.wait_for(lock, 20s, [this] { return released_; });
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable releasedCv_;
    bool released_ = false;
    Seen last_;
    int requests_ = 0;
    std::set<int> peers_;
};

// A request for `url`, adjusted by `tweak`.
Request to(const std::string& url, const std::function<void(Request&)>& tweak = {}) {
    Request request;
    request.url = url;
    if (tweak)
        tweak(request);
    return request;
}

std::string headerSeen(const TestServer::Seen& seen, const std::string& name) {
    const auto it = seen.headers.find(name);
    return it == seen.headers.end() ? "<absent>" : it->second;
}

class HttpMethodTest : public testing::TestWithParam<const char*> {};

TEST_P(HttpMethodTest, SendsMethodHeadersAndBodyAndReadsTheReply) {
    TestServer server;
    const std::string method = GetParam();
    const std::string body = method == "GET" ? "" : R"({"state":"3","note":"ünïcode & more"})";
    const Response response = send(to(server.url("/echo"), [&](Request& r) {
        r.method = method;
        r.headers = {{"Content-Type", "application/json"}, {"X-Test", "a b=c"}};
        r.body = body;
    }));

    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "echo " + method + " " + body);
    EXPECT_EQ(response.header("x-reply"), "yes");
    const auto seen = server.last();
    EXPECT_EQ(seen.method, method);
    EXPECT_EQ(seen.body, body);
    EXPECT_EQ(headerSeen(seen, "X-Test"), "a b=c");
    EXPECT_EQ(headerSeen(seen, "User-Agent"), std::string("Trayline/") + TRAYLINE_VERSION);
    EXPECT_EQ(headerSeen(seen, "Expect"), "<absent>");
    EXPECT_EQ(headerSeen(seen, "Cache-Control"), "<absent>");
}

INSTANTIATE_TEST_SUITE_P(Methods, HttpMethodTest,
                         testing::Values("GET", "POST", "PATCH", "PUT", "DELETE"));

TEST(Http, NoCacheAsksForAFreshReply) {
    TestServer server;
    send(to(server.url("/echo"), [](Request& r) { r.noCache = true; }));
    EXPECT_EQ(headerSeen(server.last(), "Cache-Control"), "no-cache");
    EXPECT_EQ(headerSeen(server.last(), "Pragma"), "no-cache");
}

TEST(Http, AHeaderValueCannotAddHeadersOfItsOwn) {
    TestServer server;
    EXPECT_THROW(send(to(server.url("/echo"),
                         [](Request& r) {
                             r.headers = {{"Authorization", "Bearer x\r\nX-Evil: 1"}};
                         })),
                 TransportError);
    EXPECT_EQ(server.requests(), 0);
}

TEST(Http, LargeBodyIsSentWithoutWaitingForContinue) {
    TestServer server;
    const std::string body(200000, 'b');
    const auto started = std::chrono::steady_clock::now();
    const Response response = send(to(server.url("/echo"), [&](Request& r) {
        r.method = "POST";
        r.headers = {{"Content-Type", "application/octet-stream"}};
        r.body = body;
    }));
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(server.last().body == body) << "received " << server.last().body.size() << " bytes";
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
}

class HttpStatusTest : public testing::TestWithParam<long> {};

TEST_P(HttpStatusTest, EveryStatusIsReturnedWithItsBodyAndRedirectsAreNotFollowed) {
    TestServer server;
    const long status = GetParam();
    const Response response = send(to(server.url("/status/" + std::to_string(status))));
    EXPECT_EQ(response.status, status);
    EXPECT_EQ(response.body, status == 204 ? "" : "status " + std::to_string(status));
    EXPECT_EQ(server.requests(), 0);  // a followed 302 would have reached /echo
}

INSTANTIATE_TEST_SUITE_P(Statuses, HttpStatusTest,
                         testing::Values(200L, 204L, 302L, 401L, 404L, 500L));

TEST(Http, CompressedRepliesAreDecoded) {
    TestServer server;
    EXPECT_EQ(send(to(server.url("/gzip"))).body, "hello, compressed world");
}

TEST(Http, TimeoutFailsWithCurlsText) {
    TestServer server;
    const auto started = std::chrono::steady_clock::now();
    try {
        send(to(server.url("/slow"), [](Request& r) { r.timeout = 200ms; }));
        FAIL() << "no time-out";
    } catch (const Cancelled&) {
        FAIL() << "a time-out is not a cancellation";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), 28);  // CURLE_OPERATION_TIMEDOUT
        EXPECT_TRUE(std::string(e.what()).starts_with("Timeout was reached")) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

TEST(Http, CancellationFromAnotherThreadEndsASlowRequestPromptly) {
    TestServer server;
    std::atomic<bool> cancel = false;
    std::chrono::steady_clock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(150ms);
        cancelledAt = std::chrono::steady_clock::now();
        cancel = true;
    });
    EXPECT_THROW(send(to(server.url("/slow"), [&](Request& r) { r.cancel = &cancel; })), Cancelled);
    const auto ended = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_LT(ended - cancelledAt, 1500ms);
}

TEST(Http, AnAlreadyCancelledRequestIsNeverSent) {
    TestServer server;
    const std::atomic<bool> cancel = true;
    EXPECT_THROW(send(to(server.url("/echo"), [&](Request& r) { r.cancel = &cancel; })), Cancelled);
    EXPECT_EQ(server.requests(), 0);
}

TEST(Http, SequentialCallsFromDifferentThreadsReuseOneConnection) {
    TestServer server(4);
    for (int i = 0; i < 4; ++i) {
        std::thread([&] { EXPECT_EQ(send(to(server.url("/peer"))).status, 200); }).join();
    }
    EXPECT_EQ(server.distinctPeers(), 1u);
}

TEST(Http, ConcurrentCallsAllSucceed) {
    TestServer server;
    std::vector<std::thread> threads;
    std::atomic<int> ok = 0;
    const auto post = [](Request& r) {
        r.method = "POST";
        r.body = "x";
    };
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i)
                if (send(to(server.url("/echo"), post)).body == "echo POST x")
                    ++ok;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(ok, 30);
}

TEST(Http, RefusedConnectionIsATransportError) {
    // A bound socket that never listens: its port refuses connections and cannot be reused
    // meanwhile.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    try {
        send(to(url));
        FAIL() << "connected";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), 7);  // CURLE_COULDNT_CONNECT
        EXPECT_TRUE(std::string(e.what()).starts_with("Couldn't connect to server")) << e.what();
    }
    ::close(fd);
}

class HttpDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("trayline-http-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

TEST_F(HttpDownloadTest, StreamsTheBodyToTheFile) {
    TestServer server;
    const auto file = dir_ / "big.bin";
    const Response response = download(to(server.url("/big")), file);
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(response.body.empty());
    EXPECT_EQ(response.header("Content-Type"), "application/octet-stream");
    std::ifstream in(file, std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(content.size(), TestServer::bigSize);
    for (std::size_t offset = 0; offset < content.size(); offset += 4096)
        ASSERT_EQ(content.substr(offset, 4096), TestServer::bigChunk(offset)) << "at " << offset;
}

TEST_F(HttpDownloadTest, AFailedDownloadLeavesNoPartialFile) {
    TestServer server;
    const auto file = dir_ / "half.bin";
    EXPECT_THROW(download(to(server.url("/half"), [](Request& r) { r.timeout = 300ms; }), file),
                 TransportError);
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace trayline::http

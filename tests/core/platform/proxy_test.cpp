// Requests take the proxy the desktop is set to, through a real proxy (tinyproxy) on loopback:
// the proxy variables with no_proxy, and a PAC file.

#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/platform/http.h"
#include "core/platform/http_proxy.h"

extern char** environ;

namespace trayline::http {
namespace {

namespace fs = std::filesystem;

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t len = sizeof addr;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    return bound ? ntohs(addr.sin_port) : 0;
}

// tinyproxy in the foreground on a free loopback port, for the life of the object.
class Tinyproxy {
public:
    explicit Tinyproxy(const fs::path& dir) : port_(freePort()) {
        const auto conf = dir / "tinyproxy.conf";
        std::ofstream(conf) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
                            << "LogFile \"" << (dir / "tinyproxy.log").string() << "\"\nLogLevel Info\n"
                            << "MaxClients 20\n";
        const std::string c = conf.string();
        char* argv[] = {const_cast<char*>("tinyproxy"), const_cast<char*>("-d"), const_cast<char*>("-c"),
                        const_cast<char*>(c.c_str()), nullptr};
        if (posix_spawn(&pid_, "/usr/bin/tinyproxy", nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
        // Listening once a connection is accepted; the wait is bounded.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid_ > 0 && !listening() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~Tinyproxy() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0 && listening(); }
    int port() const { return port_; }

private:
    bool listening() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{.sin_family = AF_INET, .sin_port = htons(static_cast<std::uint16_t>(port_)),
                         .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    }
    int port_;
    pid_t pid_ = -1;
};

struct ProxyRow {
    const char* name;
    std::vector<std::pair<std::string, std::string>> env;  // "{proxy}" and "{pac}" filled in
    bool throughProxy;
    bool pacProxies = true;  // the PAC file sends this server's requests to the proxy, else direct
};

class ProxyTest : public ::testing::TestWithParam<ProxyRow> {
protected:
    void SetUp() override {
        // A directory of its own per case: libproxy keeps a PAC file it has read by its address.
        static int cases = 0;
        dir_ = fs::temp_directory_path() / ("trayline-proxy-" + std::to_string(getpid()) + "-" + std::to_string(++cases));
        fs::create_directories(dir_);
        for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                                 "no_proxy", "NO_PROXY"})
            unsetenv(name);
        server_.Get("/", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("via=" + req.get_header_value("Via"), "text/plain");
        });
        server_.set_keep_alive_max_count(1);  // no kept-alive connection to hold up stop()
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    void TearDown() override {
        server_.stop();
        thread_.join();
        for (const auto& [name, value] : GetParam().env)
            unsetenv(name.c_str());
        fs::remove_all(dir_);
    }
    std::string fill(std::string text, int proxyPort) const {
        const auto put = [&](const std::string& key, const std::string& value) {
            for (auto at = text.find(key); at != std::string::npos; at = text.find(key))
                text.replace(at, key.size(), value);
        };
        put("{proxy}", "http://127.0.0.1:" + std::to_string(proxyPort));
        put("{pac}", "pac+file://" + (dir_ / "proxy.pac").string());
        return text;
    }
    fs::path dir_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

TEST_P(ProxyTest, RequestsGoWhereTheSettingsSay) {
    Tinyproxy proxy(dir_);
    ASSERT_TRUE(proxy.running());
    // Only requests to this server's port go through the proxy; everything else is direct.
    std::ofstream(dir_ / "proxy.pac") << "function FindProxyForURL(url, host) {\n"
                                      << "  if (" << GetParam().pacProxies << " && url.indexOf(':" << port_
                                      << "/') >= 0) return \"PROXY 127.0.0.1:" << proxy.port() << "\";\n"
                                      << "  return \"DIRECT\";\n}\n";
    for (const auto& [name, value] : GetParam().env) {
        setenv(name.c_str(), fill(value, proxy.port()).c_str(), 1);
    }
    Request request;
    request.url = "http://127.0.0.1:" + std::to_string(port_) + "/";
    request.timeout = std::chrono::seconds(10);
    const auto reply = send(request);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.find("tinyproxy") != std::string::npos, GetParam().throughProxy) << reply.body;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ProxyTest,
    ::testing::Values(ProxyRow{"none", {}, false},
                      ProxyRow{"variable", {{"http_proxy", "{proxy}"}}, true},
                      ProxyRow{"excluded", {{"http_proxy", "{proxy}"}, {"no_proxy", "localhost,127.0.0.1"}}, false},
                      ProxyRow{"pac", {{"http_proxy", "{pac}"}}, true},
                      ProxyRow{"pacDirect", {{"http_proxy", "{pac}"}}, false, false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(CurlProxy, LibproxyAnswersInCurlsTerms) {
    EXPECT_EQ(detail::curlProxy("direct://"), "");
    EXPECT_EQ(detail::curlProxy("http://p.example:3128"), "http://p.example:3128");
    EXPECT_EQ(detail::curlProxy("socks://s.example:1080"), "socks5h://s.example:1080");
    EXPECT_EQ(detail::curlProxy("socks5://s.example:1080"), "socks5h://s.example:1080");
    EXPECT_EQ(detail::curlProxy("wpad://"), std::nullopt);
    EXPECT_EQ(detail::curlProxy("http://"), std::nullopt);
    EXPECT_EQ(detail::curlProxy("garbage"), std::nullopt);
}

}  // namespace
}  // namespace trayline::http

#pragma once

// Loopback servers for transport tests: redirect chains over http and https (with a private CA),
// trickled bodies, and a listener that never answers.

#include <httplib.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "update_test_support.h"  // PkeyFree, X509Free

namespace trayline::test {

// A private CA and a certificate for 127.0.0.1 and localhost issued by it.
struct TestTls {
    TestTls();
    std::string caPEM;
    std::unique_ptr<X509, X509Free> certificate;
    std::unique_ptr<EVP_PKEY, PkeyFree> key;
};

class HopServer {
public:
    // Plain http, or https with the given certificate.
    explicit HopServer(const TestTls* tls = nullptr);
    ~HopServer();
    HopServer(const HopServer&) = delete;
    HopServer& operator=(const HopServer&) = delete;

    void serve(const std::string& path, std::string body);
    // Answers `status` with this Location (none when absent).
    void redirect(const std::string& path, int status, std::optional<std::string> location);
    // Sends the body one byte at a time, `gap` apart.
    void trickle(const std::string& path, std::string body, std::chrono::milliseconds gap);
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const;
    // "METHOD path Authorization-value" for every request, in arrival order.
    std::vector<std::string> seen() const;

private:
    struct Route {
        int status = 200;
        std::string body;
        std::optional<std::string> location;
        std::chrono::milliseconds gap{0};
    };
    void handle(const httplib::Request& request, httplib::Response& response);

    std::unique_ptr<httplib::Server> server_;
    std::string scheme_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Route> routes_;
    std::vector<std::string> seen_;
};

// A port that accepts connections (the kernel completes them) but never reads or answers.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::string url(const std::string& path) const;

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace trayline::test

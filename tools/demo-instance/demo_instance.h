#pragma once

// trayline-demo-instance: a ServiceNow look-alike on loopback for the demo and for every
// integration test. It serves the OAuth authorize page and token endpoint, the
// Table API with a real encoded-query engine, and plain navigation
// pages (/nav_to.do), over demo data that looks like a support queue.
//
// Written independently of the app's client and record code, so that a misreading there cannot
// be mirrored here and hidden.
//
// Test controls apply to the machine-facing endpoints only (the Table API under /api/ and the
// token endpoint /oauth_token.do): latency and queued failures. The request log records every
// request except those to /__control.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace trayline::demo {

struct Options {
    std::string host = "127.0.0.1";  // loopback only: 127.x.x.x, ::1 or localhost
    int port = 0;                    // 0: a free port
    bool autoApprove = false;        // the authorize request redirects at once, without a consent page
    bool control = false;            // serve POST /__control (the test controls over HTTP)
    int tokenLifetimeSeconds = 1800;
    std::optional<std::string> dataFile;  // JSON data set in place of the built-in one
    int simulateMinutes = 0;         // > 0: every so many minutes the queue moves (see simulateStep)

    // Additions beyond the original shape.
    std::vector<std::string> redirectUris = {"http://localhost:8765/callback"};
    int threads = 32;                // worker threads; each open connection holds one
    int keepAliveSeconds = 30;       // idle time before the server closes a kept-alive connection
    std::function<void(const std::string&)> eventLog;  // simulation events, one line each
};

struct LoggedRequest {
    std::string method;
    std::string path;                                          // decoded
    std::vector<std::pair<std::string, std::string>> query;    // decoded, in wire order
    std::string body;
    std::string authorization;                                 // the Authorization header, as sent
};

inline constexpr const char* kClientId = "b2f7e91c4d3a4c8e9f60a1d2c3b4e5f6";
inline constexpr const char* kClientSecret = "tray+line/demo-secret";  // "+" and "/" catch sloppy encoders
inline constexpr const char* kClientName = "Trayline";
inline constexpr const char* kDemoUserSysId = "1c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46";
inline constexpr const char* kDemoUserName = "Alex Morgan";
inline constexpr const char* kGroupSysId = "4fa3c1e2b7d94e0a8c6b2d1f0e9a7c35";
inline constexpr const char* kGroupName = "IT Support Desk";
inline constexpr const char* kRedirectUri = "http://localhost:8765/callback";

class DemoInstance {
public:
    explicit DemoInstance(Options options = {});  // loads the data; throws std::runtime_error
    ~DemoInstance();                              // stops
    DemoInstance(const DemoInstance&) = delete;
    DemoInstance& operator=(const DemoInstance&) = delete;

    void start();  // binds and serves on a thread pool; returns once listening. Throws on failure.
    void stop();   // idempotent; also closes kept-alive connections

    int port() const;
    std::string baseUrl() const;  // "http://127.0.0.1:PORT"

    // Test controls (thread-safe).
    void setLatency(std::chrono::milliseconds latency);
    // The next `count` API/token requests are answered with this status and body (queued after
    // earlier failNext calls).
    void failNext(int count, int status, std::string body, std::string contentType = "application/json");
    void expireAccessTokens();
    void revokeRefreshTokens();
    struct Tokens {
        std::string accessToken, refreshToken;
        int expiresIn;
    };
    Tokens issueTokens();  // a token pair for the demo user
    Tokens issueTokens(const std::string& userSysId);  // a token pair for another user
    std::vector<LoggedRequest> requestLog() const;
    std::size_t acceptedConnections() const;
    void reset();  // clears log, connection counter, failure queue and latency
    void setTokenLifetime(int seconds);
    // Any action of POST /__control (rate_limit, acl, total_count, ...), in process; returns its reply.
    nlohmann::json control(const nlohmann::json& request);

    // Data access for assertions.
    // Stored values of one record ({} when absent): every field as its stored text, journal fields
    // (comments, work_notes) as lists of {"created_on", "created_by", "value"}, oldest first.
    nlohmann::json record(const std::string& table, const std::string& sysId) const;
    // Adds a catalog task (sc_task) and returns its sys_id. Defaults: a new number, state "1",
    // priority "4", assignment_group = the demo group, unassigned, opened now. Moves nothing else.
    std::string insertTask(nlohmann::json fields);
    // The whole data set in the --data format.
    nlohmann::json dataSet() const;
    // One tick of the live queue (--simulate): a new request arrives unassigned in the group
    // queue; now and then a queued task is assigned to the demo user, or one of the demo user's
    // tasks is closed. Returns what happened, one line per change.
    std::vector<std::string> simulateStep();

    const std::string& demoUserSysId() const;
    std::string demoUserName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The built-in data set (dates relative to `now`), in the --data format.
nlohmann::json builtinDataSet(std::chrono::system_clock::time_point now);

}  // namespace trayline::demo

#pragma once

// The demo instance's private state, shared by its routes (demo_instance.cpp) and its test control
// endpoint (control_endpoint.cpp).

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

#include <httplib.h>

#include "connections.h"
#include "database.h"
#include "demo_instance.h"
#include "oauth.h"
#include "rate_limit.h"
#include "table_api.h"
#include "util.h"

namespace trayline::demo {

struct DemoInstance::Impl {
    explicit Impl(Options o) : opts(std::move(o)) {}

    Options opts;
    httplib::Server server;
    std::thread listenThread;
    std::atomic<bool> listenDone{false};
    bool started = false, stopped = false;
    int port = 0;

    mutable std::shared_mutex dbMutex;
    Database db;
    std::unique_ptr<OAuthServer> oauth;

    mutable std::mutex logMutex;
    std::vector<LoggedRequest> log;
    ConnectionTracker connections;
    std::atomic<long long> latencyMs{0};
    RateLimiter rateLimit;
    mutable std::mutex rulesMutex;
    AccessRules rules;
    bool totalCount = true;  // guarded by rulesMutex: send X-Total-Count on lists
    std::optional<std::string> totalOverride;  // guarded by rulesMutex: its value instead of the count

    struct Failure {
        int count, status;
        std::string body, contentType;
    };
    std::mutex failMutex;
    std::deque<Failure> failures;

    std::thread simThread;
    std::mutex simMutex;
    std::condition_variable simCv;
    bool simStop = false;
    std::mt19937 rng{20240601};
    std::size_t simTicks = 0;

    std::string baseUrl() const {
        const bool v6 = opts.host.find(':') != std::string::npos;
        return "http://" + (v6 ? "[" + opts.host + "]" : opts.host) + ":" + std::to_string(port);
    }

    std::optional<Failure> popFailure() {
        std::lock_guard lock(failMutex);
        while (!failures.empty() && failures.front().count <= 0) failures.pop_front();
        if (failures.empty()) return std::nullopt;
        Failure f = failures.front();
        if (--failures.front().count <= 0) failures.pop_front();
        return f;
    }

    std::optional<std::string> bearerUser(const httplib::Request& req) const {
        const std::string h = req.get_header_value("Authorization");
        if (!util::istartsWith(h, "Bearer ")) return std::nullopt;
        return oauth->userForAccessToken(util::trim(h.substr(7)));
    }

    std::string userName(const std::string& sysId) const {
        std::shared_lock lock(dbMutex);
        const Record* u = db.find("sys_user", sysId);
        return u ? u->get("name") : sysId;
    }

    static void apply(const HttpReply& r, httplib::Response& res) {
        res.status = r.status;
        for (const auto& [k, v] : r.headers) res.set_header(k, v);
        res.set_content(r.body, r.contentType);
    }

    enum class Kind { Machine, Page, Control };
    using Fn = std::function<HttpReply(const httplib::Request&, const QueryParams&)>;

    void serve(const httplib::Request& req, httplib::Response& res, Kind kind, const Fn& fn) {
        const std::size_t q = req.target.find('?');
        const QueryParams query = q == std::string::npos ? QueryParams{} : util::parseQueryString(req.target.substr(q + 1));
        if (kind != Kind::Control) {
            std::lock_guard lock(logMutex);
            log.push_back({req.method, req.path, query, req.body, req.get_header_value("Authorization")});
        }
        if (kind == Kind::Machine) {
            if (const long long ms = latencyMs.load(); ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds{ms});
            if (auto f = popFailure()) {
                res.status = f->status;
                res.set_content(f->body, f->contentType);
                return;
            }
        }
        try {
            apply(fn(req, query), res);
        } catch (const std::exception& e) {
            apply(errorReply(500, "Internal error", std::string(e.what())), res);
        }
    }

    QueryContext context(const std::string& user) const { return {user, util::nowSeconds()}; }

    HttpReply tableRequest(const httplib::Request& req, const QueryParams& query) {
        const auto user = bearerUser(req);
        if (!user) {
            HttpReply r;
            r.status = 401;
            r.body = errorJson("User Not Authenticated", std::string("Required to provide Auth information"));
            r.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"Trayline demo instance\"");
            return r;
        }
        auto verdict = rateLimit.admit(*user, util::nowSeconds().time_since_epoch().count());
        if (verdict.refusal)
            return std::move(*verdict.refusal);
        HttpReply reply = answerTable(req, query, *user);
        reply.headers.insert(reply.headers.end(), verdict.headers.begin(), verdict.headers.end());
        return reply;
    }

    HttpReply answerTable(const httplib::Request& req, const QueryParams& query, const std::string& user) {
        const std::string table = req.matches[1];
        const std::string sysId = req.matches.size() > 2 ? std::string(req.matches[2]) : "";
        if (req.method == "GET") {
            if (!sysId.empty()) {
                std::shared_lock lock(dbMutex);
                return tableGetOne(db, table, sysId, query, baseUrl());
            }
            AccessRules acl;
            bool counted = true;
            std::optional<std::string> override;
            {
                std::lock_guard lock(rulesMutex);
                acl = rules;
                counted = totalCount;
                override = totalOverride;
            }
            std::shared_lock lock(dbMutex);
            auto reply = tableList(db, table, query, context(user), baseUrl(), acl);
            for (auto it = reply.headers.begin(); it != reply.headers.end();) {
                if (it->first != "X-Total-Count") {
                    ++it;
                } else if (!counted) {
                    it = reply.headers.erase(it);
                } else {
                    it->second = override.value_or(it->second);
                    ++it;
                }
            }
            return reply;
        }
        std::unique_lock lock(dbMutex);
        return tablePatch(db, table, sysId, req.body, query, context(user), baseUrl());
    }

    HttpReply fromPage(const OAuthServer::Page& p) {
        HttpReply r;
        r.status = p.status;
        r.body = p.body;
        r.contentType = p.contentType;
        if (!p.location.empty()) r.headers.emplace_back("Location", p.location);
        return r;
    }

    HttpReply control(const httplib::Request& req);
    std::string insertTask(const nlohmann::json& fields);
    std::vector<std::string> simulateStep();
    void routes();
};

}  // namespace trayline::demo

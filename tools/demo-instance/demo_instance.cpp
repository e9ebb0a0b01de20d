#include "demo_instance.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "connections.h"
#include "database.h"
#include "demo_data.h"
#include "simulation.h"
#include "encoded_query.h"
#include "nav_pages.h"
#include "oauth.h"
#include "table_api.h"
#include "util.h"

namespace trayline::demo {

using nlohmann::json;

namespace {

bool isLoopbackHost(const std::string& h) {
    return h == "localhost" || h == "::1" || h.rfind("127.", 0) == 0;
}

std::string unauthorizedBody() {
    return errorJson("User Not Authenticated", std::string("Required to provide Auth information"));
}

}  // namespace

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
    std::atomic<std::size_t> connections{0};
    std::atomic<long long> latencyMs{0};

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
            r.body = unauthorizedBody();
            r.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"Trayline demo instance\"");
            return r;
        }
        const std::string table = req.matches[1];
        const std::string sysId = req.matches.size() > 2 ? std::string(req.matches[2]) : "";
        if (req.method == "GET") {
            std::shared_lock lock(dbMutex);
            return sysId.empty() ? tableList(db, table, query, context(*user), baseUrl())
                                 : tableGetOne(db, table, sysId, query, baseUrl());
        }
        std::unique_lock lock(dbMutex);
        return tablePatch(db, table, sysId, req.body, query, context(*user), baseUrl());
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
    std::string insertTask(const json& fields);
    std::vector<std::string> simulateStep();
    void routes();
};

void DemoInstance::Impl::routes() {
    auto route = [this](Kind kind, Fn fn) {
        return [this, kind, fn = std::move(fn)](const httplib::Request& req, httplib::Response& res) {
            serve(req, res, kind, fn);
        };
    };
    const std::string one = "/api/now/table/([^/]+)/([^/]+)";
    const std::string list = "/api/now/table/([^/]+)";
    auto table = [this](const httplib::Request& req, const QueryParams& q) { return tableRequest(req, q); };
    // Replies go out as several writes (headers, then body); without TCP_NODELAY each reply
    // waits on the client's delayed ACK (~40 ms). Accepted sockets inherit it from the listener.
    server.set_socket_options([](int sock) {
        int on = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    });
    server.Get(list, route(Kind::Machine, table));
    server.Get(one, route(Kind::Machine, table));
    server.Patch(one, route(Kind::Machine, table));
    server.Put(one, route(Kind::Machine, table));

    server.Post("/oauth_token.do", route(Kind::Machine, [this](const httplib::Request& req, const QueryParams&) {
        return oauth->token(req.get_header_value("Content-Type"), req.body);
    }));
    server.Get("/oauth_auth.do", route(Kind::Page, [this](const httplib::Request&, const QueryParams& q) {
        const std::string user = db.demoUser();
        return fromPage(oauth->authorize(q, opts.autoApprove, user, userName(user), baseUrl()));
    }));
    server.Post("/oauth_auth.do", route(Kind::Page, [this](const httplib::Request& req, const QueryParams&) {
        return fromPage(oauth->decide(util::parseQueryString(req.body), db.demoUser()));
    }));

    auto nav = [this](const httplib::Request& req, const QueryParams& q) {
        std::string target;
        if (req.path == "/nav_to.do") {
            for (const auto& [k, v] : q)
                if (k == "uri") {
                    target = v;
                    break;
                }
            if (target.empty()) target = "sc_task_list.do";
        } else {
            const std::size_t qm = req.target.find('?');
            target = req.path.substr(1) + (qm == std::string::npos ? "" : req.target.substr(qm));
        }
        std::shared_lock lock(dbMutex);
        return navPage(db, target, context(db.demoUser()));
    };
    server.Get("/nav_to.do", route(Kind::Page, nav));
    server.Get(R"(/[a-z0-9_]+\.do)", route(Kind::Page, nav));
    server.Get("/", route(Kind::Page, [this](const httplib::Request&, const QueryParams&) {
        std::shared_lock lock(dbMutex);
        return homePage(db, baseUrl());
    }));

    if (opts.control)
        server.Post("/__control", route(Kind::Control, [this](const httplib::Request& req, const QueryParams&) {
            return control(req);
        }));

    // Everything else: logged, then a ServiceNow-like error.
    auto unknown = route(Kind::Page, [](const httplib::Request& req, const QueryParams&) {
        if (req.path.rfind("/api/now/table/", 0) == 0)
            return errorReply(405, "Method not Supported", "The " + req.method + " method is not supported here");
        if (req.path.rfind("/api/", 0) == 0)
            return errorReply(400, "Requested URI does not represent any resource", std::nullopt);
        HttpReply r;
        r.status = 404;
        r.contentType = "text/html;charset=UTF-8";
        r.body = "<!DOCTYPE html><html><body><h1>Not found</h1><p>" + util::htmlEscape(req.path) + "</p></body></html>\n";
        return r;
    });
    server.Get(".*", unknown);
    server.Post(".*", unknown);
    server.Put(".*", unknown);
    server.Patch(".*", unknown);
    server.Delete(".*", unknown);

    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            res.set_content(errorJson("Bad request", std::string("HTTP " + std::to_string(res.status))),
                            "application/json;charset=UTF-8");
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(errorJson("Internal error", std::nullopt), "application/json;charset=UTF-8");
    });
}

HttpReply DemoInstance::Impl::control(const httplib::Request& req) {
    json in;
    try {
        in = json::parse(req.body);
    } catch (const json::exception&) {
        return errorReply(400, "Invalid control request", std::string("The body must be a JSON object"));
    }
    if (!in.is_object() || !in.contains("action") || !in["action"].is_string())
        return errorReply(400, "Invalid control request", std::string("Missing \"action\""));
    const std::string action = in["action"];
    json out = {{"ok", true}};
    try {
        if (action == "latency") {
            latencyMs = in.value("ms", 0LL);
        } else if (action == "fail_next") {
            std::lock_guard lock(failMutex);
            failures.push_back({in.value("count", 1), in.value("status", 500), in.value("body", std::string()),
                                in.value("content_type", std::string("application/json"))});
        } else if (action == "expire_access_tokens") {
            oauth->expireAccessTokens();
        } else if (action == "revoke_refresh_tokens") {
            oauth->revokeRefreshTokens();
        } else if (action == "token_lifetime") {
            oauth->setLifetime(in.value("seconds", 1800));
        } else if (action == "issue_tokens") {
            const auto t = oauth->issue(db.demoUser());
            out["access_token"] = t.accessToken;
            out["refresh_token"] = t.refreshToken;
            out["expires_in"] = t.expiresIn;
        } else if (action == "request_log") {
            json list = json::array();
            std::lock_guard lock(logMutex);
            for (const auto& r : log) {
                json query = json::array();
                for (const auto& [k, v] : r.query) query.push_back({k, v});
                list.push_back({{"method", r.method}, {"path", r.path}, {"query", query}, {"body", r.body},
                                {"authorization", r.authorization}});
            }
            out["requests"] = std::move(list);
        } else if (action == "connections") {
            out["accepted"] = connections.load();
        } else if (action == "reset") {
            {
                std::lock_guard lock(logMutex);
                log.clear();
            }
            {
                std::lock_guard lock(failMutex);
                failures.clear();
            }
            connections = 0;
            latencyMs = 0;
        } else if (action == "record") {
            std::shared_lock lock(dbMutex);
            const Record* r = db.find(in.value("table", std::string()), in.value("sys_id", std::string()));
            out["record"] = r ? Database::recordJson(*r) : json::object();
        } else if (action == "insert_task") {
            out["sys_id"] = insertTask(in.value("fields", json::object()));
        } else if (action == "simulate_step") {
            out["events"] = simulateStep();
        } else {
            return errorReply(400, "Invalid control request", "Unknown action " + action);
        }
    } catch (const std::exception& e) {
        return errorReply(400, "Invalid control request", std::string(e.what()));
    }
    HttpReply r;
    r.body = out.dump();
    return r;
}

std::string DemoInstance::Impl::insertTask(const json& fields) {
    const TableDef& t = *findTable("sc_task");
    if (!fields.is_object()) throw std::invalid_argument("insertTask needs a JSON object of fields");
    Record r;
    for (const auto& [k, v] : fields.items()) {
        if (!t.field(k)) throw std::invalid_argument("sc_task has no field " + k);
        if (v.is_object() || v.is_array()) throw std::invalid_argument("the value of " + k + " must be a text");
        r.values[k] = v.is_string() ? v.get<std::string>() : v.is_null() ? "" : v.is_boolean() ? (v.get<bool>() ? "true" : "false") : v.dump();
    }
    const auto now = util::nowSeconds();
    if (r.get("state").empty()) r.values["state"] = "1";
    if (r.get("priority").empty()) r.values["priority"] = "4";
    if (!r.values.count("assignment_group")) r.values["assignment_group"] = kGroupSysId;
    if (r.get("opened_at").empty()) r.values["opened_at"] = util::formatUtc(now);
    std::unique_lock lock(dbMutex);
    if (!r.get("sys_id").empty() && db.find("sc_task", r.get("sys_id")))
        throw std::invalid_argument("a task with sys_id " + r.get("sys_id") + " exists already");
    return db.insert(t, std::move(r), now, "");
}

std::vector<std::string> DemoInstance::Impl::simulateStep() {
    std::unique_lock lock(dbMutex);
    std::lock_guard simLock(simMutex);
    return simulateTick(db, rng, simTicks++, util::nowSeconds());
}

DemoInstance::DemoInstance(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    Impl& d = *impl_;
    const auto now = util::nowSeconds();
    if (d.opts.dataFile) {
        std::ifstream in(*d.opts.dataFile);
        if (!in) throw std::runtime_error("cannot read data file " + *d.opts.dataFile);
        json data;
        try {
            data = json::parse(in);
        } catch (const json::exception& e) {
            throw std::runtime_error("data file " + *d.opts.dataFile + " is not valid JSON: " + e.what());
        }
        try {
            d.db = Database::fromJson(data, now);
        } catch (const DataError& e) {
            throw std::runtime_error("data file " + *d.opts.dataFile + ": " + e.what());
        }
    } else {
        d.db = Database::fromJson(builtinDataSet(now), now);
    }
    d.oauth = std::make_unique<OAuthServer>(OAuthClient{kClientId, kClientSecret, kClientName, d.opts.redirectUris},
                                            d.opts.tokenLifetimeSeconds);
}

DemoInstance::~DemoInstance() { stop(); }

void DemoInstance::start() {
    Impl& d = *impl_;
    if (d.started) throw std::runtime_error("the demo instance was already started");
    if (!isLoopbackHost(d.opts.host))
        throw std::runtime_error("refusing to listen on " + d.opts.host + ": the demo instance serves loopback only");
    d.routes();
    d.server.new_task_queue = [&d] { return new CountingPool(static_cast<std::size_t>(std::max(4, d.opts.threads)), d.connections); };
    d.server.set_keep_alive_max_count(100000);
    d.server.set_keep_alive_timeout(d.opts.keepAliveSeconds);
    d.server.set_read_timeout(30);
    if (d.opts.port == 0) {
        d.port = d.server.bind_to_any_port(d.opts.host);
        if (d.port <= 0) throw std::runtime_error("cannot listen on " + d.opts.host);
    } else {
        if (!d.server.bind_to_port(d.opts.host, d.opts.port))
            throw std::runtime_error("cannot listen on " + d.opts.host + ":" + std::to_string(d.opts.port) +
                                     " (is the port in use?)");
        d.port = d.opts.port;
    }
    d.started = true;
    d.listenThread = std::thread([&d] {
        d.server.listen_after_bind();
        d.listenDone = true;
    });
    while (!d.server.is_running() && !d.listenDone) std::this_thread::sleep_for(std::chrono::milliseconds{1});
    if (d.opts.simulateMinutes > 0)
        d.simThread = std::thread([&d] {
            std::unique_lock lock(d.simMutex);
            while (!d.simStop) {
                if (d.simCv.wait_for(lock, std::chrono::minutes{d.opts.simulateMinutes}, [&d] { return d.simStop; })) break;
                lock.unlock();
                const auto events = d.simulateStep();
                if (d.opts.eventLog)
                    for (const auto& e : events) d.opts.eventLog(e);
                lock.lock();
            }
        });
}

void DemoInstance::stop() {
    Impl& d = *impl_;
    if (!d.started || d.stopped) return;
    d.stopped = true;
    {
        std::lock_guard lock(d.simMutex);
        d.simStop = true;
    }
    d.simCv.notify_all();
    if (d.simThread.joinable()) d.simThread.join();
    d.server.stop();
    while (!d.listenDone) {
        shutdownServerConnections(d.port);
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
    d.listenThread.join();
}

int DemoInstance::port() const { return impl_->port; }
std::string DemoInstance::baseUrl() const { return impl_->baseUrl(); }

void DemoInstance::setLatency(std::chrono::milliseconds latency) { impl_->latencyMs = latency.count(); }

void DemoInstance::failNext(int count, int status, std::string body, std::string contentType) {
    std::lock_guard lock(impl_->failMutex);
    impl_->failures.push_back({count, status, std::move(body), std::move(contentType)});
}

void DemoInstance::expireAccessTokens() { impl_->oauth->expireAccessTokens(); }
void DemoInstance::revokeRefreshTokens() { impl_->oauth->revokeRefreshTokens(); }
void DemoInstance::setTokenLifetime(int seconds) { impl_->oauth->setLifetime(seconds); }

DemoInstance::Tokens DemoInstance::issueTokens() { return issueTokens(impl_->db.demoUser()); }

DemoInstance::Tokens DemoInstance::issueTokens(const std::string& userSysId) {
    const auto t = impl_->oauth->issue(userSysId);
    return {t.accessToken, t.refreshToken, t.expiresIn};
}

std::vector<LoggedRequest> DemoInstance::requestLog() const {
    std::lock_guard lock(impl_->logMutex);
    return impl_->log;
}

std::size_t DemoInstance::acceptedConnections() const { return impl_->connections.load(); }

void DemoInstance::reset() {
    {
        std::lock_guard lock(impl_->logMutex);
        impl_->log.clear();
    }
    {
        std::lock_guard lock(impl_->failMutex);
        impl_->failures.clear();
    }
    impl_->connections = 0;
    impl_->latencyMs = 0;
}

json DemoInstance::record(const std::string& table, const std::string& sysId) const {
    std::shared_lock lock(impl_->dbMutex);
    const Record* r = impl_->db.find(table, sysId);
    return r ? Database::recordJson(*r) : json::object();
}

std::string DemoInstance::insertTask(json fields) { return impl_->insertTask(fields); }

json DemoInstance::dataSet() const {
    std::shared_lock lock(impl_->dbMutex);
    return impl_->db.toJson();
}

std::vector<std::string> DemoInstance::simulateStep() { return impl_->simulateStep(); }

const std::string& DemoInstance::demoUserSysId() const { return impl_->db.demoUser(); }

std::string DemoInstance::demoUserName() const { return impl_->userName(impl_->db.demoUser()); }

}  // namespace trayline::demo

#include "demo_instance.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <fstream>

#include "demo_data.h"
#include "instance_impl.h"
#include "nav_pages.h"

namespace trayline::demo {

using nlohmann::json;

namespace {

bool isLoopbackHost(const std::string& h) {
    return h == "localhost" || h == "::1" || h.rfind("127.", 0) == 0;
}

}  // namespace

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
    server.set_socket_options([this](int sock) {
        connections.listenerCreated(sock);
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
    d.server.new_task_queue = [&d] {
        return new ConnectionQueue(static_cast<std::size_t>(std::max(4, d.opts.threads)), d.connections);
    };
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
    d.connections.listening();
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
        d.connections.endAll();
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

nlohmann::json DemoInstance::control(const nlohmann::json& request) {
    httplib::Request req;
    req.body = request.dump();
    const auto reply = impl_->control(req);
    if (reply.status != 200)
        throw std::runtime_error("control " + request.dump() + ": " + reply.body);
    return nlohmann::json::parse(reply.body);
}

DemoInstance::Tokens DemoInstance::issueTokens() { return issueTokens(impl_->db.demoUser()); }

DemoInstance::Tokens DemoInstance::issueTokens(const std::string& userSysId) {
    const auto t = impl_->oauth->issue(userSysId);
    return {t.accessToken, t.refreshToken, t.expiresIn};
}

std::vector<LoggedRequest> DemoInstance::requestLog() const {
    std::lock_guard lock(impl_->logMutex);
    return impl_->log;
}

std::size_t DemoInstance::acceptedConnections() const { return impl_->connections.accepted.load(); }

void DemoInstance::reset() {
    {
        std::lock_guard lock(impl_->logMutex);
        impl_->log.clear();
    }
    {
        std::lock_guard lock(impl_->failMutex);
        impl_->failures.clear();
    }
    impl_->connections.accepted = 0;
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

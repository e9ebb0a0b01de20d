#include "hop_server.h"

#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace trayline::test {

namespace {

void require(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test TLS: ") + what);
}

X509* makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                      const std::vector<std::pair<int, const char*>>& extensions) {
    X509* cert = X509_new();
    require(cert != nullptr, "certificate");
    static long serial = 1000;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(issuer ? issuer : cert));
    for (const auto& [nid, value] : extensions) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        require(ext != nullptr, "extension");
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    require(X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
    return cert;
}

}  // namespace

TestTls::TestTls() {
    const std::unique_ptr<EVP_PKEY, PkeyFree> caKey(EVP_EC_gen("P-256"));
    key.reset(EVP_EC_gen("P-256"));
    require(caKey && key, "key generation");
    const std::unique_ptr<X509, X509Free> ca(
        makeCertificate(caKey.get(), "Transport Test CA", nullptr, nullptr,
                        {{NID_basic_constraints, "critical,CA:TRUE"},
                         {NID_key_usage, "critical,keyCertSign,cRLSign"}}));
    certificate.reset(makeCertificate(key.get(), "127.0.0.1", ca.get(), caKey.get(),
                                      {{NID_basic_constraints, "critical,CA:FALSE"},
                                       {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                       {NID_ext_key_usage, "serverAuth"}}));
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    require(PEM_write_bio_X509(bio.get(), ca.get()) == 1, "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    caPEM.assign(data, static_cast<std::size_t>(size));
}

HopServer::HopServer(const TestTls* tls)
    : server_(tls ? std::make_unique<httplib::SSLServer>(tls->certificate.get(), tls->key.get())
                  : std::make_unique<httplib::Server>()),
      scheme_(tls ? "https" : "http") {
    // One request per connection: an idle keep-alive connection would delay stop().
    server_->set_keep_alive_max_count(1);
    const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        handle(req, res);
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HopServer::~HopServer() {
    server_->stop();
    thread_.join();
}

void HopServer::serve(const std::string& path, std::string body) {
    std::lock_guard lock(mutex_);
    routes_[path] = {200, std::move(body), std::nullopt, {}};
}

void HopServer::redirect(const std::string& path, int status, std::optional<std::string> location) {
    std::lock_guard lock(mutex_);
    routes_[path] = {status, "moved", std::move(location), {}};
}

void HopServer::trickle(const std::string& path, std::string body, std::chrono::milliseconds gap) {
    std::lock_guard lock(mutex_);
    routes_[path] = {200, std::move(body), std::nullopt, gap};
}

std::string HopServer::url(const std::string& path, const std::string& host) const {
    return scheme_ + "://" + host + ":" + std::to_string(port_) + path;
}

std::vector<std::string> HopServer::seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

void HopServer::handle(const httplib::Request& req, httplib::Response& res) {
    Route route;
    {
        std::lock_guard lock(mutex_);
        seen_.push_back(req.method + " " + req.path + " " + req.get_header_value("Authorization"));
        const auto it = routes_.find(req.path);
        if (it == routes_.end()) {
            res.status = 404;
            return;
        }
        route = it->second;
    }
    res.status = route.status;
    if (route.location)
        res.set_header("Location", *route.location);
    if (route.gap.count() == 0) {
        res.set_content(route.body, "application/octet-stream");
        return;
    }
    res.set_chunked_content_provider(
        "application/octet-stream",
        [body = route.body, gap = route.gap](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= body.size()) {
                sink.done();
                return true;
            }
            std::this_thread::sleep_for(gap);
            return sink.write(body.data() + offset, 1);
        });
}

SilentListener::SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    require(fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(fd_, 8) == 0 &&
                ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
            "listening socket");
    port_ = ntohs(address.sin_port);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string SilentListener::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace trayline::test

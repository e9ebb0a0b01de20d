#pragma once

// HTTP(S) client over libcurl. Every request of the process runs on one engine (a curl multi
// handle and its I/O thread), concurrently with the others, so repeated requests to the same host
// reuse their connections whichever thread makes them, and HTTP/2 servers get one connection with
// many streams. Every call is thread-safe; send() and download() block their caller until the
// reply is in. TLS peer and host verification is always on. Redirects are followed only when a
// request asks for it; otherwise callers see 3xx replies as they are.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trayline::http {

struct Request {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::chrono::milliseconds timeout{60000};   // whole transfer, connect included
    bool noCache = false;                       // asks caches on the way for a fresh reply
    const std::atomic<bool>* cancel = nullptr;  // when it becomes true the call ends with Cancelled
    // Redirects (301, 302, 303, 307, 308 with a Location) followed before the reply is returned;
    // 0 returns them as they are. Leaving https for http, leaving http(s) altogether, coming back
    // to a URL already visited and going past this count fail with RedirectError. The time-out
    // covers all hops; Authorization and Cookie headers are not sent to another origin (scheme,
    // host and port).
    int maxRedirects = 0;
    // When no data moves for this long the call ends with Stalled; zero: no such limit.
    std::chrono::milliseconds stallTimeout{0};
    // PEM certificates trusted in place of the system's bundle (a private CA); empty: the
    // system's. Verification stays on either way.
    std::string trustedCertificatesPEM;
};

struct Response {
    long status = 0;  // 0 when the reply is not HTTP
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, names as sent

    // The value of the first header named `name` (ASCII case-insensitive), if any.
    std::optional<std::string> header(std::string_view name) const;
};

// The request could not be completed (no network, refused, time-out, TLS failure, ...).
// what() is curl's own description, with its detail message when it adds something.
class TransportError : public std::runtime_error {
public:
    TransportError(int code, const std::string& message);
    int code() const noexcept { return code_; }  // the CURLcode

private:
    int code_;
};

// The request's cancel flag became true while it was running.
class Cancelled : public TransportError {
public:
    using TransportError::TransportError;
};

// A redirect was refused (see Request::maxRedirects); what() says which and where it pointed.
class RedirectError : public TransportError {
public:
    using TransportError::TransportError;
};

// No data moved for the request's stallTimeout.
class Stalled : public TransportError {
public:
    using TransportError::TransportError;
};

// Sends the request and returns the reply whatever its status.
Response send(const Request& request);

// Starts the request and returns at once; the future holds what send() would return or throw.
// The request's cancel flag, if any, must outlive the request.
std::future<Response> sendAsync(Request request);

// Like send(), but streams the body into `destination` (created or truncated) instead of memory;
// the returned body is empty. On any failure the partial file is removed. A file that cannot be
// written fails with std::system_error.
Response download(const Request& request, const std::filesystem::path& destination);

}  // namespace trayline::http

#include "core/platform/http_transfer.h"

#include <charconv>

#include "core/platform/http_proxy.h"
#include "core/platform/http_redirect.h"

namespace trayline::http::detail {

namespace {

std::string_view trimmedBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

long statusOfLine(std::string_view line) {
    const auto space = line.find(' ');
    long status = 0;
    if (space != std::string_view::npos)
        std::from_chars(line.data() + space + 1, line.data() + line.size(), status);
    return status;
}

bool hasHeader(const Request& request, std::string_view name) {
    for (const auto& [key, value] : request.headers)
        if (equalsAsciiCaseless(key, name))
            return true;
    return false;
}

[[noreturn]] void throwOutOfMemory() {
    throw TransportError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
}

HeaderList buildHeaders(const Request& request) {
    HeaderList list;
    auto append = [&list](const std::string& line) {
        curl_slist* grown = curl_slist_append(list.get(), line.c_str());
        if (!grown)
            throwOutOfMemory();
        (void)list.release();  // `grown` is the same list, one node longer
        list.reset(grown);
    };
    for (const auto& [name, value] : request.headers) {
        // A line break would let a value (a token from a server, say) smuggle in headers of its
        // own.
        if ((name + value).find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            throw TransportError(CURLE_BAD_FUNCTION_ARGUMENT,
                                 std::string(curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT)) +
                                     ": line break in header " + name);
        append(value.empty() ? name + ";" : name + ": " + value);  // "Name;" is curl's empty header
    }
    if (request.noCache) {
        if (!hasHeader(request, "Cache-Control"))
            append("Cache-Control: no-cache");
        if (!hasHeader(request, "Pragma"))
            append("Pragma: no-cache");
    }
    // Larger bodies would otherwise wait for a "100 Continue" that many servers never send.
    if (!hasHeader(request, "Expect"))
        append("Expect:");
    return list;
}

[[noreturn]] void throwCancelled() {
    throw Cancelled(CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
}

std::string describeDuration(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0)
        return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
}

}  // namespace

bool equalsAsciiCaseless(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

Exchange::Exchange(Request request, Sink sink)
    : request_(std::move(request)), hop_(request_), visited_{request_.url}, sink_(std::move(sink)) {}

CURL* Exchange::startHop(CURLSH* share) {
    using std::chrono::milliseconds;
    if (request_.cancel && request_.cancel->load())
        throwCancelled();
    const auto left = request_.timeout - std::chrono::duration_cast<milliseconds>(
                                             std::chrono::steady_clock::now() - started_);
    if (left <= milliseconds(0))
        throw TransportError(CURLE_OPERATION_TIMEDOUT, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));

    headers_ = buildHeaders(hop_);
    easy_.reset(curl_easy_init());
    if (!easy_)
        throwOutOfMemory();
    CURL* h = easy_.get();
    detail_.fill('\0');
    static const std::string userAgent = std::string("Trayline/") + TRAYLINE_VERSION;

    curl_easy_setopt(h, CURLOPT_PRIVATE, this);
    curl_easy_setopt(h, CURLOPT_SHARE, share);
    curl_easy_setopt(h, CURLOPT_URL, hop_.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // Redirects are followed here, hop by hop, so that each hop can be vetted.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // A request started while another to the same server is still connecting waits to share its
    // connection if that one turns out to multiplex (HTTP/2, negotiated in the TLS handshake),
    // instead of opening a second one. Not for plain http: there curl would only learn it from the
    // first reply, and every request would queue behind it.
    if (equalsAsciiCaseless(std::string_view(hop_.url).substr(0, 6), "https:"))
        curl_easy_setopt(h, CURLOPT_PIPEWAIT, 1L);
    // The desktop's proxy choice, which also covers the environment's; only without an answer does
    // curl read the environment itself. A first hop's answer is already cached by its caller.
    if (const auto proxy = proxyFor(hop_.url))
        curl_easy_setopt(h, CURLOPT_PROXY, proxy->c_str());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!hop_.trustedCertificatesPEM.empty()) {
        curl_blob trusted{const_cast<char*>(hop_.trustedCertificatesPEM.data()),
                          hop_.trustedCertificatesPEM.size(), CURL_BLOB_COPY};
        curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &trusted);
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail_.data());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Exchange::onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Exchange::onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);

    if (hop_.method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (hop_.method == "GET" && hop_.body.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        // Every other method sends its body (possibly empty, then with Content-Length: 0).
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(hop_.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, hop_.body.data());
        if (hop_.method != "POST")
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, hop_.method.c_str());
    }
    lastActivity_ = std::chrono::steady_clock::now();
    lastDown_ = lastUp_ = 0;
    if (isWatched()) {
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Exchange::onProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }
    return h;
}

bool Exchange::finishHop(CURLcode result) {
    try {
        if (result != CURLE_OK)
            throwFailure(result);
        long status = 0;
        curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
        response_.status = status;
        // A 30x without a usable Location is the reply itself.
        const char* location = nullptr;
        if (request_.maxRedirects > 0 && isFollowedRedirect(status) &&
            curl_easy_getinfo(easy_.get(), CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location) {
            hop_ = nextHop(hop_, location, status, visited_, request_.maxRedirects);
            return true;
        }
        easy_.reset();
        promise_.set_value(std::move(response_));
    } catch (...) {
        fail(std::current_exception());
    }
    return false;
}

void Exchange::fail(std::exception_ptr error) {
    easy_.reset();
    try {
        promise_.set_exception(std::move(error));
    } catch (const std::future_error&) {
        // Already settled.
    }
}

void Exchange::throwFailure(CURLcode result) const {
    if (result == CURLE_ABORTED_BY_CALLBACK && request_.cancel && request_.cancel->load())
        throwCancelled();
    if (result == CURLE_ABORTED_BY_CALLBACK && stalled_)
        throw Stalled(CURLE_OPERATION_TIMEDOUT,
                      std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) +
                          ": no data received for " + describeDuration(request_.stallTimeout));
    std::string message = curl_easy_strerror(result);
    const std::string_view extra = trimmedBlanks(detail_.data());
    if (!extra.empty() && extra != message)
        message += ": " + std::string(extra);
    throw TransportError(result, message);
}

bool Exchange::shouldStop(std::chrono::steady_clock::time_point now) {
    if (request_.cancel && request_.cancel->load())
        return true;
    if (request_.stallTimeout.count() > 0 && now - lastActivity_ >= request_.stallTimeout) {
        stalled_ = true;
        return true;
    }
    return false;
}

bool Exchange::skipsBody() const {
    // The body of a redirect about to be followed is not the reply's.
    return request_.maxRedirects > 0 && isFollowedRedirect(lineStatus_) && response_.header("Location");
}

std::size_t Exchange::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* exchange = static_cast<Exchange*>(self);
    const std::size_t bytes = size * count;
    exchange->lastActivity_ = std::chrono::steady_clock::now();
    if (exchange->skipsBody())
        return bytes;
    if (!exchange->sink_) {
        exchange->response_.body.append(data, bytes);
        return bytes;
    }
    return exchange->sink_(data, bytes) ? bytes : 0;
}

std::size_t Exchange::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* exchange = static_cast<Exchange*>(self);
    const std::size_t bytes = size * count;
    const std::string_view line = trimmedBlanks(std::string_view(data, bytes));
    auto& headers = exchange->response_.headers;
    if (line.starts_with("HTTP/")) {
        // A new status line: headers of an interim reply (100 Continue) do not belong to the final
        // one.
        headers.clear();
        exchange->lineStatus_ = statusOfLine(line);
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
        headers.emplace_back(std::string(trimmedBlanks(line.substr(0, colon))),
                             std::string(trimmedBlanks(line.substr(colon + 1))));
    }
    return bytes;
}

int Exchange::onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* exchange = static_cast<Exchange*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (down != exchange->lastDown_ || up != exchange->lastUp_) {
        exchange->lastDown_ = down;
        exchange->lastUp_ = up;
        exchange->lastActivity_ = now;
    }
    return exchange->shouldStop(now) ? 1 : 0;
}

}  // namespace trayline::http::detail

#include "core/platform/http.h"

#include <curl/curl.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>

#include "core/platform/http_redirect.h"

namespace trayline::http {

namespace {

// The process-wide share handle. It is deliberately never destroyed: worker threads may still be
// finishing a request while static destructors run, and the OS reclaims everything at exit.
class Share {
public:
    static CURLSH* handle() {
        static Share* const shared = new Share;
        return shared->share_;
    }

private:
    Share() {
        if (const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
            throw TransportError(rc, curl_easy_strerror(rc));
        share_ = curl_share_init();
        if (!share_)
            throw TransportError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Share::lock);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Share::unlock);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        // Cookies stay per request: the instance is driven by bearer tokens, never by a session.
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Share*>(self)->mutexFor(data).lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Share*>(self)->mutexFor(data).unlock();
    }
    std::mutex& mutexFor(curl_lock_data data) {
        const auto index = static_cast<std::size_t>(data);
        return index < mutexes_.size() ? mutexes_[index] : mutexes_[CURL_LOCK_DATA_NONE];
    }

    CURLSH* share_ = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;
using File = std::unique_ptr<std::FILE, FileCloser>;

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

std::string_view trimmedBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// What one transfer collects while curl runs.
struct Transfer {
    Response response;
    std::function<bool(const char*, std::size_t)> sink;  // false stops the transfer
    bool followsRedirects = false;
    long lineStatus = 0;  // of the latest status line

    // Progress watch: cancellation and the stall limit.
    const std::atomic<bool>* cancel = nullptr;
    std::chrono::milliseconds stallTimeout{0};
    std::chrono::steady_clock::time_point lastActivity;
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;
    bool stalled = false;

    // The body of a redirect about to be followed is not the reply's.
    bool skipsBody() const {
        return followsRedirects && isFollowedRedirect(lineStatus) && response.header("Location");
    }
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (transfer->skipsBody())
        return bytes;
    return transfer->sink(data, bytes) ? bytes : 0;
}

long statusOfLine(std::string_view line) {
    const auto space = line.find(' ');
    long status = 0;
    if (space != std::string_view::npos)
        std::from_chars(line.data() + space + 1, line.data() + line.size(), status);
    return status;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    const std::string_view line = trimmedBlanks(std::string_view(data, bytes));
    if (line.starts_with("HTTP/")) {
        // A new status line: headers of an interim reply (100 Continue) do not belong to the final
        // one.
        transfer->response.headers.clear();
        transfer->lineStatus = statusOfLine(line);
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
        transfer->response.headers.emplace_back(std::string(trimmedBlanks(line.substr(0, colon))),
                                                std::string(trimmedBlanks(line.substr(colon + 1))));
    }
    return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->cancel && transfer->cancel->load())
        return 1;
    if (transfer->stallTimeout.count() > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (down != transfer->lastDown || up != transfer->lastUp) {
            transfer->lastDown = down;
            transfer->lastUp = up;
            transfer->lastActivity = now;
        } else if (now - transfer->lastActivity >= transfer->stallTimeout) {
            transfer->stalled = true;
            return 1;
        }
    }
    return 0;
}

bool hasHeader(const Request& request, std::string_view name) {
    for (const auto& [key, value] : request.headers)
        if (equalsAsciiCaseless(key, name))
            return true;
    return false;
}

HeaderList buildHeaders(const Request& request) {
    HeaderList list;
    auto append = [&list](const std::string& line) {
        curl_slist* grown = curl_slist_append(list.get(), line.c_str());
        if (!grown)
            throw TransportError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
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

void throwCancelled() {
    throw Cancelled(CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
}

std::string describeDuration(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0)
        return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
}

// One request to request.url, redirects not followed. Returns where a redirect to be followed
// points.
std::optional<std::string> performOnce(const Request& request, Transfer& transfer,
                                       std::chrono::milliseconds timeout) {
    CURLSH* share = Share::handle();
    EasyHandle easy(curl_easy_init());
    if (!easy)
        throw TransportError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
    CURL* h = easy.get();
    const HeaderList headers = buildHeaders(request);
    std::array<char, CURL_ERROR_SIZE> detail{};
    static const std::string userAgent = std::string("Trayline/") + TRAYLINE_VERSION;

    curl_easy_setopt(h, CURLOPT_SHARE, share);
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // Redirects are followed here, hop by hop, so that each hop can be vetted.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.trustedCertificatesPEM.empty()) {
        curl_blob trusted{const_cast<char*>(request.trustedCertificatesPEM.data()),
                          request.trustedCertificatesPEM.size(), CURL_BLOB_COPY};
        curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &trusted);
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail.data());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);

    if (request.method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (request.method == "GET" && request.body.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        // Every other method sends its body (possibly empty, then with Content-Length: 0).
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
        if (request.method != "POST")
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    transfer.lastActivity = std::chrono::steady_clock::now();
    transfer.lastDown = transfer.lastUp = 0;
    if (request.cancel || request.stallTimeout.count() > 0) {
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        if (rc == CURLE_ABORTED_BY_CALLBACK && request.cancel && request.cancel->load())
            throwCancelled();
        if (rc == CURLE_ABORTED_BY_CALLBACK && transfer.stalled)
            throw Stalled(CURLE_OPERATION_TIMEDOUT,
                          std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) +
                              ": no data received for " + describeDuration(request.stallTimeout));
        std::string message = curl_easy_strerror(rc);
        const std::string_view extra = trimmedBlanks(detail.data());
        if (!extra.empty() && extra != message)
            message += ": " + std::string(extra);
        throw TransportError(rc, message);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = status;
    if (!transfer.followsRedirects || !isFollowedRedirect(status))
        return std::nullopt;
    // A 30x without a usable Location is the reply itself.
    const char* location = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location)
        return std::nullopt;
    return std::string(location);
}

void perform(const Request& request, Transfer& transfer) {
    transfer.cancel = request.cancel;
    transfer.stallTimeout = request.stallTimeout;
    transfer.followsRedirects = request.maxRedirects > 0;

    using std::chrono::milliseconds;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> visited{request.url};
    Request hop;
    const Request* current = &request;
    for (;;) {
        if (request.cancel && request.cancel->load())
            throwCancelled();
        const auto left = request.timeout - std::chrono::duration_cast<milliseconds>(
                                                std::chrono::steady_clock::now() - start);
        if (left <= milliseconds(0))
            throw TransportError(CURLE_OPERATION_TIMEDOUT,
                                 curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
        const std::optional<std::string> target = performOnce(*current, transfer, left);
        if (!target)
            return;
        hop = nextHop(*current, *target, transfer.response.status, visited, request.maxRedirects);
        current = &hop;
    }
}

}  // namespace

TransportError::TransportError(int code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

std::optional<std::string> Response::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsAsciiCaseless(key, name))
            return value;
    return std::nullopt;
}

Response send(const Request& request) {
    Transfer transfer;
    transfer.sink = [&transfer](const char* data, std::size_t size) {
        transfer.response.body.append(data, size);
        return true;
    };
    perform(request, transfer);
    return std::move(transfer.response);
}

Response download(const Request& request, const std::filesystem::path& destination) {
    File file(std::fopen(destination.c_str(), "wb"));
    if (!file)
        throw std::system_error(errno, std::generic_category(),
                                "cannot create " + destination.string());

    int writeError = 0;
    auto writeFailure = [&] {
        return std::system_error(writeError, std::generic_category(),
                                 "cannot write " + destination.string());
    };
    auto discard = [&] {
        file.reset();
        std::error_code ignored;
        std::filesystem::remove(destination, ignored);
    };
    Transfer transfer;
    transfer.sink = [&](const char* data, std::size_t size) {
        if (std::fwrite(data, 1, size, file.get()) == size)
            return true;
        writeError = errno ? errno : EIO;
        return false;
    };
    try {
        perform(request, transfer);
    } catch (const TransportError&) {
        discard();
        if (writeError != 0)
            throw writeFailure();  // curl only saw its write callback refuse
        throw;
    } catch (...) {
        discard();
        throw;
    }
    if (std::fflush(file.get()) != 0)
        writeError = errno ? errno : EIO;
    if (std::fclose(file.release()) != 0 && writeError == 0)
        writeError = errno ? errno : EIO;
    if (writeError != 0) {
        discard();
        throw writeFailure();
    }
    return std::move(transfer.response);
}

}  // namespace trayline::http

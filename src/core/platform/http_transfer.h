#pragma once

// One request as the HTTP engine carries it: the curl easy handle of the current hop, what its
// callbacks collect, and the rules that end it early (cancel flag, stall limit). Internal to the
// http layer; everything here runs on the engine's I/O thread once the request is submitted.

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/http.h"

namespace trayline::http::detail {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

bool equalsAsciiCaseless(std::string_view a, std::string_view b);

// Where a reply's body goes; false stops the transfer (curl then reports a write error). Without
// one the body is kept in the response.
using Sink = std::function<bool(const char*, std::size_t)>;

// A request from submission to its reply: every hop of its redirects, one at a time.
class Exchange {
public:
    Exchange(Request request, Sink sink);

    std::future<Response> future() { return promise_.get_future(); }

    // Sets up the easy handle of the next hop (the first at once). Throws what the caller is to
    // get: Cancelled, a time-out spent before the hop, a header that cannot be sent.
    CURL* startHop(CURLSH* share);
    // The hop ended with `result`. Returns true when another hop is to start (a redirect to
    // follow), false when the exchange is settled. Never throws: failures go to the future.
    bool finishHop(CURLcode result);
    // Settles the exchange with the exception in flight (the hop's handle must be out of the
    // multi handle).
    void fail(std::exception_ptr error);

    // True when the cancel flag is up or the stall limit has passed: the engine then ends the hop
    // as curl would from its progress callback.
    bool shouldStop(std::chrono::steady_clock::time_point now);
    // Whether shouldStop() can become true without curl doing anything (a flag or a limit is set).
    bool isWatched() const { return request_.cancel != nullptr || request_.stallTimeout.count() > 0; }

    CURL* easy() const { return easy_.get(); }

private:
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up);

    bool skipsBody() const;
    [[noreturn]] void throwFailure(CURLcode result) const;

    const Request request_;  // as submitted
    Request hop_;            // the hop under way
    std::vector<std::string> visited_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    Sink sink_;
    std::promise<Response> promise_;

    Response response_;
    long lineStatus_ = 0;  // of the latest status line
    std::chrono::steady_clock::time_point lastActivity_;
    curl_off_t lastDown_ = 0;
    curl_off_t lastUp_ = 0;
    bool stalled_ = false;

    EasyHandle easy_;
    HeaderList headers_;
    std::array<char, CURL_ERROR_SIZE> detail_{};
};

}  // namespace trayline::http::detail

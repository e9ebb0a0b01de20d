#include "core/platform/http_engine.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace trayline::http::detail {

namespace {

using Clock = std::chrono::steady_clock;

struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ShareDeleter {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};

// While a request has a cancel flag or a stall limit, the thread looks at it at least this often
// (curl itself only calls back when something moves).
constexpr std::chrono::milliseconds kWatchInterval{100};

class Engine {
public:
    // Never destroyed: a request may still be under way while static destructors run, and the
    // OS reclaims everything at exit.
    static Engine& forProcess() {
        static Engine* const engine = new Engine;
        return *engine;
    }

    std::future<Response> submit(Request request, Sink sink) {
        auto exchange = std::make_unique<Exchange>(std::move(request), std::move(sink));
        auto future = exchange->future();
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(exchange));
        if (running_) {
            curl_multi_wakeup(multi_.get());
            return future;
        }
        // A thread that ended cleared `running_` as its very last step, so this join is short.
        if (thread_.joinable())
            thread_.join();
        try {
            thread_ = std::thread(&Engine::run, this);
        } catch (...) {
            queued_.pop_back();
            throw;
        }
        running_ = true;
        return future;
    }

private:
    Engine() {
        if (const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
            throw TransportError(rc, curl_easy_strerror(rc));
        multi_.reset(curl_multi_init());
        share_.reset(curl_share_init());
        if (!multi_ || !share_)
            throw TransportError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
        configure(multi_.get());
        // Connections already live in the multi handle. The share only keeps resolved names and
        // TLS sessions across the easy handles of successive hops; only the I/O thread uses it.
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    static void configure(CURLM* multi) {
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        // Idle connections kept for reuse: a refresh's four fetches plus a few to spare.
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 16L);
    }

    // The I/O thread.
    void run() {
        auto lastBusy = Clock::now();
        for (;;) {
            admit();
            int running = 0;
            if (const CURLMcode rc = curl_multi_perform(multi_.get(), &running); rc != CURLM_OK) {
                recover(rc);
                continue;
            }
            collect();
            sweep();
            const auto now = Clock::now();
            if (!active_.empty()) {
                lastBusy = now;
            } else if (now - lastBusy >= kEngineLinger) {
                std::lock_guard lock(mutex_);
                if (queued_.empty()) {
                    running_ = false;  // the last touch: a new thread may start right after
                    return;
                }
            }
            if (const CURLMcode rc = curl_multi_poll(multi_.get(), nullptr, 0, pollTimeout(now - lastBusy), nullptr);
                rc != CURLM_OK)
                recover(rc);
        }
    }

    // The multi handle failed as a whole (out of memory, a poll that cannot work): its transfers
    // fail with its text and a fresh handle takes over. The pause keeps a failure that persists
    // from spinning the thread; requests submitted meanwhile wait for it.
    void recover(CURLMcode rc) {
        const TransportError error(rc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT,
                                   curl_multi_strerror(rc));
        for (auto& [easy, exchange] : active_) {
            curl_multi_remove_handle(multi_.get(), easy);
            exchange->fail(std::make_exception_ptr(error));
        }
        active_.clear();
        {
            std::lock_guard lock(mutex_);  // submit() wakes the handle up under it
            if (CURLM* fresh = curl_multi_init()) {
                multi_.reset(fresh);
                configure(fresh);
            }
        }
        std::this_thread::sleep_for(kWatchInterval);
    }

    int pollTimeout(Clock::duration idleFor) const {
        using std::chrono::milliseconds;
        if (active_.empty()) {
            const auto left = std::chrono::duration_cast<milliseconds>(kEngineLinger - idleFor);
            return static_cast<int>(std::max<milliseconds::rep>(left.count(), 1));
        }
        long timeout = -1;
        curl_multi_timeout(multi_.get(), &timeout);
        if (timeout < 0)
            timeout = 1000;
        const bool watched = std::any_of(active_.begin(), active_.end(),
                                         [](const auto& entry) { return entry.second->isWatched(); });
        if (watched)
            timeout = std::min<long>(timeout, kWatchInterval.count());
        return static_cast<int>(timeout);
    }

    // Starts the requests submitted since the last turn.
    void admit() {
        std::deque<std::unique_ptr<Exchange>> incoming;
        {
            std::lock_guard lock(mutex_);
            incoming.swap(queued_);
        }
        for (auto& exchange : incoming)
            begin(std::move(exchange));
    }

    void begin(std::unique_ptr<Exchange> exchange) {
        try {
            CURL* easy = exchange->startHop(share_.get());
            if (const CURLMcode rc = curl_multi_add_handle(multi_.get(), easy); rc != CURLM_OK)
                throw TransportError(CURLE_OUT_OF_MEMORY, curl_multi_strerror(rc));
            active_.emplace(easy, std::move(exchange));
        } catch (...) {
            exchange->fail(std::current_exception());
        }
    }

    // Hops curl has finished.
    void collect() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            // Copied out: removing the handle ends the message.
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            finish(easy, result);
        }
    }

    // Hops whose cancel flag went up or that have received nothing for their stall limit end as
    // if curl's progress callback had stopped them.
    void sweep() {
        const auto now = Clock::now();
        std::vector<CURL*> stopped;
        for (const auto& [easy, exchange] : active_)
            if (exchange->isWatched() && exchange->shouldStop(now))
                stopped.push_back(easy);
        for (CURL* easy : stopped)
            finish(easy, CURLE_ABORTED_BY_CALLBACK);
    }

    void finish(CURL* easy, CURLcode result) {
        auto node = active_.extract(easy);
        if (node.empty())
            return;
        curl_multi_remove_handle(multi_.get(), easy);
        std::unique_ptr<Exchange> exchange = std::move(node.mapped());
        if (exchange->finishHop(result))
            begin(std::move(exchange));  // the next hop of a redirect
    }

    std::unique_ptr<CURLM, MultiDeleter> multi_;
    std::unique_ptr<CURLSH, ShareDeleter> share_;

    std::mutex mutex_;  // guards the three below
    std::deque<std::unique_ptr<Exchange>> queued_;
    bool running_ = false;
    std::thread thread_;

    // The I/O thread's own: the hops in the multi handle, by their easy handle.
    std::unordered_map<CURL*, std::unique_ptr<Exchange>> active_;
};

}  // namespace

std::future<Response> submit(Request request, Sink sink) {
    return Engine::forProcess().submit(std::move(request), std::move(sink));
}

}  // namespace trayline::http::detail

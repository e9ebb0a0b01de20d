#pragma once

// Connection bookkeeping around cpp-httplib's server.

#include <atomic>
#include <cstddef>
#include <functional>

#include <httplib.h>

namespace trayline::demo {

// The server's task queue. httplib hands every accepted connection to the task queue exactly once
// (the connection then keeps its worker for all its kept-alive requests), so counting enqueues
// counts accepted TCP connections.
class CountingPool : public httplib::TaskQueue {
public:
    CountingPool(std::size_t threads, std::atomic<std::size_t>& counter);
    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

private:
    httplib::ThreadPool pool_;
    std::atomic<std::size_t>& counter_;
};

// Shuts down every accepted connection of the server on `port` (call it after the listener is
// closed), so that workers waiting on idle kept-alive connections end at once instead of after the
// keep-alive time-out. Connections this process opened *to* that port have another local port and
// are spared.
void shutdownServerConnections(int port);

}  // namespace trayline::demo

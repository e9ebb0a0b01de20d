#pragma once

// Connection bookkeeping around cpp-httplib's server: counting accepted connections and ending the
// ones still open when the instance stops.

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include <httplib.h>

namespace trayline::demo {

// The connections the server accepted and is still serving, each through a descriptor of our own
// (a duplicate), so that stop can end a connection stalled in the middle of a request at once
// instead of after the read time-out. Nothing else in the process is ever touched: httplib does not
// hand out the accepted descriptor, so it is recognised by its local address, which only sockets
// accepted from our listener share.
class ConnectionTracker {
public:
    ConnectionTracker() = default;
    ~ConnectionTracker();
    ConnectionTracker(const ConnectionTracker&) = delete;
    ConnectionTracker& operator=(const ConnectionTracker&) = delete;

    void listenerCreated(int fd);  // from the socket-options hook, called for the listener only
    void listening();              // the listener is bound: remember its address
    int adopt();                   // right after an accept: our duplicate of it, or -1
    void release(int duplicate);   // its connection is over
    void endAll();                 // shuts down every connection still served
    std::atomic<std::size_t> accepted{0};

private:
    std::mutex mutex_;
    int listenerFd_ = -1;
    std::string listenerAddress_;           // sockaddr bytes
    std::map<int, std::string> served_;     // duplicate -> peer sockaddr bytes
};

// The server's task queue. httplib hands every accepted connection to the task queue exactly once,
// straight from its accepting thread (the connection then keeps its worker for all its kept-alive
// requests), so each enqueue is one accepted TCP connection.
class ConnectionQueue : public httplib::TaskQueue {
public:
    ConnectionQueue(std::size_t threads, ConnectionTracker& tracker) : pool_(threads), tracker_(tracker) {}
    void enqueue(std::function<void()> fn) override;
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
    ConnectionTracker& tracker_;
};

}  // namespace trayline::demo

#include "core/auth/callback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "core/auth/callback_request.h"
#include "core/platform/unique_fd.h"

namespace trayline {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t readChunk = 8192;         // most bytes taken per receive
constexpr std::size_t largestExtended = 16384;  // a buffer this large may still grow
constexpr std::size_t maxConnections = 64;      // beyond this the oldest unanswered one is dropped
constexpr auto replyGrace = std::chrono::seconds(2);

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::system_category(), what);
}

std::string describe(int family, std::uint16_t port) {
    return (family == AF_INET ? "127.0.0.1:" : "[::1]:") + std::to_string(port);
}

// Listens on the loopback address of `family`; returns the socket, or the errno of the failed step.
std::pair<UniqueFd, int> listenOnLoopback(int family, std::uint16_t port) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return {UniqueFd(), errno};
    const int on = 1;
    // Lets the next sign-in bind at once even while this one's closed connections sit in TIME_WAIT.
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int rc = 0;
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    if (rc != 0 || ::listen(fd.get(), SOMAXCONN) != 0)
        return {UniqueFd(), errno};
    return {std::move(fd), 0};
}

std::uint16_t localPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throwErrno(errno, "getsockname");
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);  // same offset for v6
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

bool isTransientAcceptError(int error) {
    // accept() also reports errors pending on the new connection; they concern that peer only.
    constexpr std::array transient{EAGAIN, EWOULDBLOCK,  EINTR,       ECONNABORTED,
                                   EPROTO, ENETDOWN,     ENOPROTOOPT, EHOSTDOWN,
                                   ENONET, EHOSTUNREACH, EOPNOTSUPP,  ENETUNREACH};
    return std::find(transient.begin(), transient.end(), error) != transient.end();
}

struct Connection {
    UniqueFd fd;
    std::string received;
    std::string reply;  // set once answered
    std::size_t sent = 0;

    bool answered() const { return !reply.empty(); }
    bool open() const { return static_cast<bool>(fd); }

    void close() {
        if (!fd)
            return;
        ::shutdown(fd.get(), SHUT_WR);
        // Unread input would turn the close into a reset that can destroy the reply in flight.
        // Bounded, so a peer that keeps sending cannot keep us here.
        std::array<char, 4096> sink{};
        for (int i = 0; i < 16 && ::recv(fd.get(), sink.data(), sink.size(), MSG_DONTWAIT) > 0;
             ++i) {
        }
        fd.reset();
    }

    // Reads once; true when the request is ready to answer (complete, cut short, or too large).
    bool readSome() {
        std::array<char, readChunk> chunk{};
        const ssize_t n = ::recv(fd.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (n < 0)
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        if (n == 0)
            return true;  // the peer ended its side: answer what arrived
        const std::size_t searchFrom = received.size() >= 3 ? received.size() - 3 : 0;
        received.append(chunk.data(), static_cast<std::size_t>(n));
        return received.find("\r\n\r\n", searchFrom) != std::string::npos ||
               received.size() > largestExtended;
    }

    // Writes what the socket takes now; closes the connection once all is sent or sending failed.
    void flush() {
        while (sent < reply.size()) {
            const ssize_t n = ::send(fd.get(), reply.data() + sent, reply.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        close();
    }
};

struct Outcome {
    std::string code;
    std::exception_ptr error;
};

}  // namespace

struct CallbackServer::State {
    std::vector<UniqueFd> listeners;
    UniqueFd wake;  // eventfd that interrupts poll() for cancel()
    std::atomic<bool> cancelled{false};
    std::atomic<bool> started{false};
    std::vector<Connection> connections;

    void answer(Connection& connection, const std::string& expectedState,
                std::optional<Outcome>& outcome) {
        CallbackReply reply = answerCallbackRequest(connection.received, expectedState);
        connection.reply = std::move(reply.bytes);
        connection.flush();
        if (!reply.completes || outcome)
            return;  // a 404, or the wait already has its result
        if (reply.error)
            outcome = Outcome{{}, std::make_exception_ptr(ServerError(*reply.error))};
        else
            outcome = Outcome{std::move(reply.code), nullptr};
    }

    void acceptAll(int listener) {
        while (true) {
            UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd) {
                if (isTransientAcceptError(errno))
                    return;
                throwErrno(errno, "cannot accept sign-in callback connections");
            }
            if (connections.size() >= maxConnections) {
                for (auto& c : connections) {
                    if (c.open() && !c.answered()) {
                        c.close();
                        break;
                    }
                }
                std::erase_if(connections, [](const Connection& c) { return !c.open(); });
            }
            connections.push_back(Connection{std::move(fd), {}, {}, 0});
        }
    }
};

CallbackServer::CallbackServer(std::string expectedState, std::uint16_t port,
                               std::chrono::milliseconds limit)
    : expectedState_(std::move(expectedState)), limit_(limit), state_(std::make_unique<State>()) {
    state_->wake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!state_->wake)
        throwErrno(errno, "eventfd");

    // With port 0 the IPv4 port is chosen by the kernel and may be taken on ::1: choose again.
    for (int attempt = 0;; ++attempt) {
        state_->listeners.clear();
        auto [v4, v4Error] = listenOnLoopback(AF_INET, port);
        if (v4Error == EADDRINUSE)
            throw ServerError(ServerError::Kind::portInUse, port);
        if (v4Error != 0)
            throwErrno(v4Error, "cannot listen on " + describe(AF_INET, port));
        const std::uint16_t chosen = localPort(v4.get());
        state_->listeners.push_back(std::move(v4));

        auto [v6, v6Error] = listenOnLoopback(AF_INET6, chosen);
        if (v6Error == 0) {
            state_->listeners.push_back(std::move(v6));
        } else if (v6Error == EADDRINUSE) {
            if (port == 0 && attempt < 10)
                continue;
            throw ServerError(ServerError::Kind::portInUse, chosen);
        } else if (v6Error != EAFNOSUPPORT && v6Error != EADDRNOTAVAIL &&
                   v6Error != EPROTONOSUPPORT) {
            throwErrno(v6Error, "cannot listen on " + describe(AF_INET6, chosen));
        }  // else: no IPv6 on this host, IPv4 loopback alone serves the browser
        port_ = chosen;
        return;
    }
}

CallbackServer::~CallbackServer() = default;

void CallbackServer::cancel() {
    state_->cancelled = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(state_->wake.get(), &one, sizeof one);
}

std::string CallbackServer::waitForCode() {
    if (state_->started.exchange(true))
        throw std::logic_error("CallbackServer::waitForCode called twice");
    State& s = *state_;
    const auto deadline = Clock::now() + limit_;
    std::optional<Outcome> outcome;
    std::vector<pollfd> fds;

    while (!outcome) {
        if (s.cancelled) {
            outcome = Outcome{{}, std::make_exception_ptr(CallbackCancelled())};
            break;
        }
        fds.clear();
        fds.push_back({s.wake.get(), POLLIN, 0});
        for (const auto& listener : s.listeners)
            fds.push_back({listener.get(), POLLIN, 0});
        for (const auto& c : s.connections)
            fds.push_back({c.fd.get(), static_cast<short>(c.answered() ? POLLOUT : POLLIN), 0});

        if (::poll(fds.data(), fds.size(), millisecondsUntil(deadline)) < 0) {
            if (errno == EINTR)
                continue;
            throwErrno(errno, "poll");
        }
        // Connections first, in the order they were accepted: an earlier callback wins.
        const std::size_t firstConnection = 1 + s.listeners.size();
        const std::size_t polledConnections = fds.size() - firstConnection;
        for (std::size_t i = 0; i < polledConnections; ++i) {
            Connection& c = s.connections[i];
            if (fds[firstConnection + i].revents == 0 || !c.open())
                continue;
            if (c.answered())
                c.flush();
            else if (c.readSome())
                s.answer(c, expectedState_, outcome);
        }
        std::erase_if(s.connections, [](const Connection& c) { return !c.open(); });
        for (std::size_t i = 0; i < s.listeners.size(); ++i) {
            const short events = fds[1 + i].revents;
            if (events & (POLLERR | POLLNVAL)) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(s.listeners[i].get(), SOL_SOCKET, SO_ERROR, &error, &length);
                throwErrno(error ? error : EIO, "sign-in callback listener failed");
            }
            if (events & POLLIN)
                s.acceptAll(s.listeners[i].get());
        }
        if (!outcome && Clock::now() >= deadline)
            outcome = Outcome{{}, std::make_exception_ptr(ServerError(ServerError::Kind::timeout))};
    }

    s.listeners.clear();  // the port is free for the next sign-in from here on
    // Requests that already arrived still get their own reply; unfinished ones are dropped.
    for (auto& c : s.connections) {
        if (c.answered() || !c.open())
            continue;
        bool ready = false;
        while (c.open() && !ready) {
            const std::size_t before = c.received.size();
            ready = c.readSome();
            if (!ready && c.received.size() == before)
                break;  // nothing more is waiting
        }
        if (ready)
            s.answer(c, expectedState_, outcome);
        else
            c.close();
    }
    std::erase_if(s.connections, [](const Connection& c) { return !c.open(); });
    const auto graceEnd = Clock::now() + replyGrace;
    while (!s.connections.empty() && Clock::now() < graceEnd) {
        fds.clear();
        for (const auto& c : s.connections)
            fds.push_back({c.fd.get(), POLLOUT, 0});
        if (::poll(fds.data(), fds.size(), millisecondsUntil(graceEnd)) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents != 0)
                s.connections[i].flush();
        std::erase_if(s.connections, [](const Connection& c) { return !c.open(); });
    }
    s.connections.clear();

    if (outcome->error)
        std::rethrow_exception(outcome->error);
    return std::move(outcome->code);
}

}  // namespace trayline

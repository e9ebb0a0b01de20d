#pragma once

// The one-shot loopback HTTP listener that receives the browser's OAuth redirect
// (http://localhost:8765/callback?code=…&state=…) for one sign-in attempt.

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/auth/server_error.h"

namespace trayline {

// The wait was ended by CallbackServer::cancel() (the user gave up or the app is quitting).
class CallbackCancelled : public std::runtime_error {
public:
    CallbackCancelled() : std::runtime_error("Sign-in was cancelled.") {}
};

class CallbackServer {
public:
    static constexpr std::uint16_t defaultPort = 8765;

    // Starts listening at once on 127.0.0.1 and ::1 only, so the code never reaches the network
    // (::1 is skipped when the host has no IPv6). Port 0 picks a free port (tests). Throws
    // ServerError(portInUse) when the port is taken and std::system_error for other socket
    // failures.
    explicit CallbackServer(std::string expectedState, std::uint16_t port = defaultPort,
                            std::chrono::milliseconds limit = std::chrono::seconds(300));
    ~CallbackServer();
    CallbackServer(const CallbackServer&) = delete;
    CallbackServer& operator=(const CallbackServer&) = delete;

    std::uint16_t port() const noexcept { return port_; }

    // Serves connections on the calling thread until the first callback that carries a state, or
    // until the limit (counted from this call) passes. Returns the authorization code; throws
    // ServerError (stateMismatch, noCode, timeout), CallbackCancelled, or std::system_error when
    // the listener fails. The port is released before it returns; replies already due are written
    // out first (bounded). Call it once per object.
    std::string waitForCode();

    // Ends a running or future waitForCode() with CallbackCancelled. Callable from any thread.
    void cancel();

private:
    struct State;

    std::string expectedState_;
    std::chrono::milliseconds limit_;
    std::uint16_t port_ = 0;
    std::unique_ptr<State> state_;
};

}  // namespace trayline

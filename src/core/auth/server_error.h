#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace trayline {

// Failures of the loopback sign-in listener; what() is the text shown to the user.
class ServerError : public std::runtime_error {
public:
    enum class Kind { timeout, stateMismatch, noCode, portInUse };

    explicit ServerError(Kind kind, std::uint16_t port = 8765)
        : std::runtime_error(describe(kind, port)), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

private:
    static std::string describe(Kind kind, std::uint16_t port) {
        switch (kind) {
            case Kind::timeout:
                return "Sign-in timed out (no browser callback within 5 minutes).";
            case Kind::stateMismatch:
                return "OAuth state mismatch \u2014 try signing in again.";
            case Kind::noCode:
                return "Browser callback did not contain an authorization code.";
            case Kind::portInUse:
                return "Port " + std::to_string(port) + " is already in use.";
        }
        return "Sign-in failed.";
    }

    Kind kind_;
};

}  // namespace trayline

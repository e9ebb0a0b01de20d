#pragma once

#include <stdexcept>
#include <string>

namespace trayline {

// Failures of sign-in, token handling and Table API requests; what() is the text users see.
class AuthError : public std::runtime_error {
public:
    enum class Kind { badResponse, notConfigured, notSignedIn };

    static AuthError badResponse(long status, std::string body);
    static AuthError notConfigured();
    static AuthError notSignedIn();

    Kind kind() const { return kind_; }
    long status() const { return status_; }        // badResponse only; 0 when not HTTP
    const std::string& body() const { return body_; }  // badResponse only

private:
    AuthError(Kind kind, const std::string& message, long status, std::string body);
    Kind kind_;
    long status_;
    std::string body_;
};

}  // namespace trayline

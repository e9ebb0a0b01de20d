#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace trayline {

// The instance URL cannot carry a request: not a URL, or credentials would travel in clear text.
class InstanceURLError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Checks a base URL before anything is sent to it: it must parse, use https, or use http only
// towards a loopback host (tests and the demo instance). Returns the URL unchanged.
std::string checkedInstanceURL(std::string_view url);

// Config::instanceURL(), checked.
std::string currentInstanceURL();

}  // namespace trayline

#pragma once

#include <stdexcept>
#include <string>

namespace trayline {

// A reply that could not be decoded into the records we expect.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace trayline

#pragma once

#include <stdexcept>
#include <string>

namespace trayline {

// A failure of the MCP server itself (a missing argument, an unknown tool); what() is the text the
// client sees.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace trayline

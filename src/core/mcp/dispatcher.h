#pragma once

// JSON-RPC in, JSON-RPC out: one line of input becomes at most one reply line. No I/O of its own
// beyond what the tools do through the backend, so it runs in tests and under a fuzzer as is.

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/mcp/message.h"
#include "core/mcp/tool_backend.h"
#include "core/mcp/tool_catalogue.h"

namespace trayline::mcp {

inline constexpr const char* kSupportedVersions[] = {"2025-06-18", "2025-03-26", "2024-11-05"};
inline constexpr const char* kNotSignedIn =
    "Trayline is not signed in to ServiceNow. Open the menu bar app and sign in.";
inline constexpr const char* kUnparsableLog = "ignoring unparsable line";

struct LineOutcome {
    enum class Kind { blank, unparsable, handled };
    Kind kind = Kind::blank;
    std::optional<std::string> reply;  // compact JSON, without the line feed
};

class Dispatcher {
public:
    explicit Dispatcher(const ToolBackend& backend) : backend_(backend) {}

    // One input line without its terminator; any bytes (invalid UTF-8 is replaced first).
    LineOutcome handleLine(std::string_view line) const;
    // One decoded message; the reply when it is a request.
    std::optional<std::string> handle(const Message& message) const;

private:
    OrderedJson callTool(const nlohmann::json& params) const;

    const ToolBackend& backend_;
};

// {"content":[{"type":"text","text":...}],"isError":...}
OrderedJson toolResult(const std::string& text, bool isError);
// The user-facing text of a failure.
std::string describe(const std::exception_ptr& error);
// The instructions sent with the initialize result, from the current settings.
std::string instructions();
// "ready (Trayline <version>, writes enabled|disabled)"
std::string readyMessage();

}  // namespace trayline::mcp

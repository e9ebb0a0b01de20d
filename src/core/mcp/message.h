#pragma once

// Decoding one incoming line into a JSON-RPC message, safely for any input.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace trayline::mcp {

struct Message {
    nlohmann::json object;  // the whole message, always a JSON object
    // The "id" member exactly as it must be echoed: compact JSON text. Numbers keep their original
    // spelling (1e400, 123456789012345678901234567890), which a double could not carry. Empty
    // when the id is absent; "null" when it is null.
    std::string idText;

    bool isRequest() const { return !idText.empty() && idText != "null"; }
};

// Nesting deeper than this is refused before it is built: parsing stays iterative and no
// recursive copy or dump ever meets a pathological document.
inline constexpr std::size_t kMaxNesting = 512;

// The message when `text` is valid JSON (no deeper than kMaxNesting) whose top level is an object;
// nullopt otherwise. `text` must be valid UTF-8.
std::optional<Message> parseMessage(std::string_view text);

}  // namespace trayline::mcp

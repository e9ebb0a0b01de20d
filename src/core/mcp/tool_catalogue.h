#pragma once

// The ten MCP tools: their descriptors as sent in tools/list, and how each one runs.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/mcp/tool_backend.h"

namespace trayline::mcp {

// Replies keep the member order they are built in (descriptor properties are listed in order).
using OrderedJson = nlohmann::ordered_json;

// Descriptor lists, built fresh on each call, in advertised order.
OrderedJson readTools();
OrderedJson writeTools();
bool isWriteTool(std::string_view name);

// Names of the advertised tools: the read tools, then the write tools when `allowWrites`.
std::vector<std::string> toolNames(bool allowWrites);
// The same, with the current mcpAllowWrites setting (shown by the settings sheet).
std::vector<std::string> toolNames();

// Runs one tool and returns its answer text. Failures are exceptions whose what() is the text
// for the client (ToolError, LookupError, AuthError, transport errors).
std::string perform(const ToolBackend& backend, std::string_view name, const nlohmann::json& arguments);

// The trimmed text of a mandatory argument; ToolError "`key` is required." when it is missing,
// not text or blank.
std::string required(const nlohmann::json& arguments, std::string_view key);

// The running executable for client registration snippets: /proc/self/exe, else `argv0`, else
// "Trayline".
std::string executablePath(const char* argv0 = nullptr);

}  // namespace trayline::mcp

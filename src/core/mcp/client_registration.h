#pragma once

// The texts a user pastes to register this executable as an MCP server with Claude Code. A path
// that a shell would split or interpret is single-quoted in the command, and a path that would
// break the JSON is escaped; an ordinary path is inserted as it is.

#include <string>

namespace trayline::mcp {

// "claude mcp add servicenow -s project -- <path> --mcp"
std::string registrationCommand(const std::string& executable);
// The ten-line .mcp.json registering the executable over stdio (no line break after the last).
std::string registrationJson(const std::string& executable);

// `text` as one word for a POSIX shell: unchanged when it holds only characters no shell treats
// specially, else single-quoted.
std::string shellWord(const std::string& text);
// `text` with the characters JSON cannot carry verbatim in a string escaped.
std::string jsonStringContent(const std::string& text);

}  // namespace trayline::mcp

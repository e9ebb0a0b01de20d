#include "core/mcp/client_registration.h"

#include <cstdio>
#include <string_view>

namespace trayline::mcp {

namespace {

bool shellSafe(unsigned char c) {
    // Bytes of multi-byte UTF-8 characters are letters to a shell.
    static constexpr std::string_view extra = "_./+-:@%,=";
    return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           extra.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string shellWord(const std::string& text) {
    bool safe = !text.empty();
    for (unsigned char c : text)
        safe = safe && shellSafe(c);
    if (safe)
        return text;
    std::string word = "'";
    for (char c : text) {
        if (c == '\'')
            word += "'\\''";  // close, an escaped quote, reopen
        else
            word += c;
    }
    return word + "'";
}

std::string jsonStringContent(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string registrationCommand(const std::string& executable) {
    return "claude mcp add servicenow -s project -- " + shellWord(executable) + " --mcp";
}

std::string registrationJson(const std::string& executable) {
    return "{\n"
           "  \"mcpServers\": {\n"
           "    \"servicenow\": {\n"
           "      \"type\": \"stdio\",\n"
           "      \"command\": \"" + jsonStringContent(executable) + "\",\n"
           "      \"args\": [\"--mcp\"],\n"
           "      \"env\": {}\n"
           "    }\n"
           "  }\n"
           "}";
}

}  // namespace trayline::mcp

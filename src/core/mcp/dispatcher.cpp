#include "core/mcp/dispatcher.h"

#include <algorithm>

#include "core/mcp/tool_error.h"
#include "core/platform/text.h"
#include "core/settings/app_info.h"
#include "core/settings/config.h"

namespace trayline::mcp {

namespace {

using Json = nlohmann::json;

// A JSON-RPC error the server sends instead of a result (always -32601).
struct RpcError {
    std::string message;
};

std::string dumpCompact(const OrderedJson& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string replyLine(const std::string& idText, const std::string& member, const std::string& value) {
    return R"({"jsonrpc":"2.0","id":)" + idText + ",\"" + member + "\":" + value + "}";
}

std::string textMember(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

const Json& objectMember(const Json& object, const char* key) {
    static const Json empty = Json::object();
    const auto it = object.find(key);
    return it != object.end() && it->is_object() ? *it : empty;
}

OrderedJson initializeResult(const Json& params) {
    const auto requested = textMember(params, "protocolVersion");
    const bool supported = std::any_of(std::begin(kSupportedVersions), std::end(kSupportedVersions),
                                       [&](const char* v) { return requested == v; });
    return OrderedJson{{"protocolVersion", supported ? requested : std::string("2024-11-05")},
                       {"capabilities", {{"tools", {{"listChanged", false}}}}},
                       {"serverInfo", {{"name", "trayline"}, {"version", AppInfo::version()}}},
                       {"instructions", instructions()}};
}

OrderedJson toolList() {
    auto tools = readTools();
    if (Config::mcpAllowWrites())
        for (auto& d : writeTools())
            tools.push_back(std::move(d));
    return OrderedJson{{"tools", std::move(tools)}};
}

}  // namespace

OrderedJson toolResult(const std::string& text, bool isError) {
    return OrderedJson{{"content", OrderedJson::array({{{"type", "text"}, {"text", text}}})}, {"isError", isError}};
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "The operation couldn\u2019t be completed.";
    }
}

std::string instructions() {
    return "ServiceNow access for " + Config::instanceURL() + ", scoped to the " + Config::table() +
           " queue the Trayline menu bar app watches. \"Me\" resolves to the signed-in ServiceNow user.\n\n"
           "A task reference may be a task number (SCTASK\u2026), the linked RITM or REQ number, or a sys_id "
           "\u2014 get_task and the write tools all accept any of them.\n\n"
           "Prefer the purpose-built tools; reach for search_records only when you need a table or filter the "
           "others do not cover.";
}

std::string readyMessage() {
    return "ready (Trayline " + AppInfo::version() + ", writes " +
           (Config::mcpAllowWrites() ? "enabled" : "disabled") + ")";
}

LineOutcome Dispatcher::handleLine(std::string_view line) const {
    const auto clean = text::isValidUtf8(line) ? text::trimmed(line) : text::trimmed(text::sanitizedUtf8(line));
    if (clean.empty())
        return {LineOutcome::Kind::blank, std::nullopt};
    auto message = parseMessage(clean);
    if (!message)
        return {LineOutcome::Kind::unparsable, std::nullopt};
    return {LineOutcome::Kind::handled, handle(*message)};
}

std::optional<std::string> Dispatcher::handle(const Message& message) const {
    const auto method = textMember(message.object, "method");
    const auto& params = objectMember(message.object, "params");
    std::optional<OrderedJson> result;
    std::optional<RpcError> error;
    try {
        if (method == "initialize")
            result = initializeResult(params);
        else if (method == "tools/list")
            result = toolList();
        else if (method == "tools/call")
            result = callTool(params);
        else if (method == "ping")
            result = OrderedJson::object();
        else if (message.isRequest())
            error = RpcError{"Method not found: " + method};
    } catch (const RpcError& e) {
        error = e;
    }
    if (!message.isRequest())
        return std::nullopt;
    if (error) {
        const OrderedJson body{{"code", -32601}, {"message", error->message}};
        return replyLine(message.idText, "error", dumpCompact(body));
    }
    if (!result)
        return std::nullopt;
    return replyLine(message.idText, "result", dumpCompact(*result));
}

OrderedJson Dispatcher::callTool(const Json& params) const {
    const auto name = textMember(params, "name");
    const auto& arguments = objectMember(params, "arguments");
    const bool allowWrites = Config::mcpAllowWrites();
    const auto advertised = toolNames(allowWrites);
    if (std::find(advertised.begin(), advertised.end(), name) == advertised.end()) {
        if (!allowWrites && isWriteTool(name))
            throw RpcError{name + " changes records and writes are disabled. "
                                  "Turn on \u201CAllow writes\u201D in Trayline settings, then restart Claude Code."};
        throw RpcError{"Unknown tool: " + name};
    }
    if (!backend_.signedIn())
        return toolResult(kNotSignedIn, true);
    try {
        return toolResult(perform(backend_, name, arguments), false);
    } catch (...) {
        return toolResult(describe(std::current_exception()), true);
    }
}

}  // namespace trayline::mcp

#include "core/auth/callback_request.h"

#include <vector>

#include "core/platform/text.h"

namespace trayline {

namespace {

constexpr std::string_view callbackPrefix = "/callback";
constexpr std::string_view successBody =
    "<h2>Signed in \u2713</h2><p>You can close this tab and return to the menu bar app.</p>";

struct QueryItem {
    std::string name;
    std::optional<std::string> value;  // absent for "name" without "="
};

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The request target forms a URL below "http://localhost" unless it holds control characters or
// a "%" that does not start an escape. Anything else a browser may leave unescaped is accepted,
// so an unusual but real redirect is never lost to strictness.
bool isUsableTarget(std::string_view target) {
    for (std::size_t i = 0; i < target.size(); ++i) {
        const auto c = static_cast<unsigned char>(target[i]);
        if (c < 0x20 || c == 0x7F)
            return false;
        if (c == '%' && (i + 2 >= target.size() || !isHex(target[i + 1]) || !isHex(target[i + 2])))
            return false;
    }
    return true;
}

// Decodes one query name or value; bytes that are not UTF-8 once decoded make it unusable.
std::optional<std::string> decodeComponent(std::string_view raw) {
    std::string decoded = text::percentDecode(raw);
    if (!text::isValidUtf8(decoded))
        return std::nullopt;
    return decoded;
}

std::vector<QueryItem> queryItems(std::string_view target) {
    std::vector<QueryItem> items;
    const auto question = target.find('?');
    if (question == std::string_view::npos)
        return items;
    std::string_view query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    if (query.empty())
        return items;
    while (true) {
        const auto amp = query.find('&');
        const std::string_view piece = query.substr(0, amp);
        const auto equals = piece.find('=');
        if (auto name = decodeComponent(piece.substr(0, equals))) {
            QueryItem item{std::move(*name), std::nullopt};
            if (equals != std::string_view::npos)
                item.value = decodeComponent(piece.substr(equals + 1));
            items.push_back(std::move(item));
        }
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return items;
}

// The first item called `name`; a nullptr when there is none.
const QueryItem* firstItem(const std::vector<QueryItem>& items, std::string_view name) {
    for (const auto& item : items)
        if (item.name == name)
            return &item;
    return nullptr;
}

std::string_view requestTarget(std::string_view request) {
    if (!text::isValidUtf8(request))
        return {};
    std::string_view line = request.substr(0, request.find("\r\n"));
    int piece = 0;
    while (!line.empty()) {
        const auto start = line.find_first_not_of(' ');
        if (start == std::string_view::npos)
            break;
        line.remove_prefix(start);
        const auto end = line.find(' ');
        if (++piece == 2)
            return line.substr(0, end);
        if (end == std::string_view::npos)
            break;
        line.remove_prefix(end);
    }
    return {};
}

}  // namespace

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string callbackReplyBytes(std::string_view status, std::string_view bodyHtml) {
    std::string page =
        "<html><body style=\"font-family:-apple-system;text-align:center;margin-top:20vh\">";
    page += bodyHtml;
    page += "</body></html>";
    std::string reply = "HTTP/1.1 ";
    reply += status;
    reply += "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ";
    reply += std::to_string(page.size());
    reply += "\r\nConnection: close\r\n\r\n";
    reply += page;
    return reply;
}

CallbackReply answerCallbackRequest(std::string_view request, std::string_view expectedState) {
    const std::string_view target = requestTarget(request);
    if (!target.starts_with(callbackPrefix) || !isUsableTarget(target))
        return {callbackReplyBytes("404 Not Found", "Not found."), false, {}, std::nullopt};

    const auto items = queryItems(target);
    const QueryItem* state = firstItem(items, "state");
    if (!state || !state->value || *state->value != expectedState)
        return {callbackReplyBytes("400 Bad Request", "State mismatch."),
                true,
                {},
                ServerError::Kind::stateMismatch};

    const QueryItem* code = firstItem(items, "code");
    if (code && code->value && !code->value->empty())
        return {callbackReplyBytes("200 OK", successBody), true, *code->value, std::nullopt};

    std::string message = "Missing code.";
    if (const QueryItem* description = firstItem(items, "error_description");
        description && description->value)
        message = *description->value;
    else if (const QueryItem* error = firstItem(items, "error"); error && error->value)
        message = *error->value;
    // The text comes from whoever sent the redirect: it must not become markup in our page.
    return {callbackReplyBytes("400 Bad Request", escapeHtml(message)),
            true,
            {},
            ServerError::Kind::noCode};
}

}  // namespace trayline

#pragma once

// The request handling of the sign-in callback listener, free of sockets so it can be tested and
// fuzzed on its own: the bytes one connection sent in, the reply bytes and the outcome out.

#include <optional>
#include <string>
#include <string_view>

#include "core/auth/server_error.h"

namespace trayline {

struct CallbackReply {
    std::string bytes;                       // the complete HTTP reply for the connection
    bool completes = false;                  // false: not a callback (404), keep listening
    std::string code;                        // the authorization code when completes without error
    std::optional<ServerError::Kind> error;  // stateMismatch or noCode when completes with an error
};

// Answers what one connection sent (a complete header, or whatever arrived before the peer stopped
// or the size cap was hit). Only the request line is examined.
CallbackReply answerCallbackRequest(std::string_view request, std::string_view expectedState);

// A complete "Connection: close" HTTP reply around the page's body fragment.
std::string callbackReplyBytes(std::string_view status, std::string_view bodyHtml);

// Escapes & < > " ' for placing text into HTML.
std::string escapeHtml(std::string_view text);

}  // namespace trayline

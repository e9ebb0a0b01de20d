// The browser-facing request parser of the sign-in callback: any bytes a local process sends to
// the port must give a well-formed reply and never crash.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/auth/callback_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto reply = trayline::answerCallbackRequest(bytes, "3F2504E0-4F89-41D3-9A0C-0305E82C3301");
    (void)reply;
    return 0;
}

// libFuzzer target: arbitrary bytes as the server's standard input, one line at a time through the
// dispatcher, with the instance replaced by memory. Checks the reply invariants on every line.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <unistd.h>

#include "core/mcp/dispatcher.h"
#include "memory_backend.h"

namespace {

using namespace trayline;

void check(bool ok) {
    if (!ok)
        std::abort();
}

// Every reply is one compact JSON-RPC line echoing a request id.
void checkReply(const std::string& reply) {
    check(reply.find('\n') == std::string::npos);
    // Read back the way the server reads (an id such as 1e400 is beyond a plain double parse).
    const auto message = mcp::parseMessage(reply);
    check(message && message->isRequest());
    const auto& j = message->object;
    check(j.value("jsonrpc", "") == "2.0");
    check(j.contains("result") != j.contains("error"));
    if (j.contains("error"))
        check(j["error"]["code"] == -32601 && j["error"]["message"].is_string());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private profile with writes allowed, so the write tools are reachable.
    const auto root = std::filesystem::temp_directory_path() / ("trayline-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "config" / "com.brindle.trayline");
    std::ofstream(root / "config" / "com.brindle.trayline" / "preferences.json")
        << R"({"mcpAllowWrites":true,"instanceURL":"https://fuzz.example.com"})";
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::MemoryBackend backend;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first byte picks the sign-in state, so both sides of that check are explored.
    backend.setSignedIn(input.empty() || (input.front() & 1) == 0);
    const mcp::Dispatcher dispatcher(backend);
    while (!input.empty()) {
        const auto nl = input.find('\n');
        auto line = input.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const auto outcome = dispatcher.handleLine(line);
        if (outcome.reply)
            checkReply(*outcome.reply);
        check(!outcome.reply || outcome.kind == mcp::LineOutcome::Kind::handled);
        input = nl == std::string_view::npos ? std::string_view{} : input.substr(nl + 1);
    }
    return 0;
}

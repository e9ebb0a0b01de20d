// Record decoding of instance replies: any body must decode or fail with DecodingError, and the
// streaming task decoder must agree with decoding each element on its own.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "core/platform/decoding_error.h"
#include "core/servicenow/sn_user.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    std::vector<trayline::SNTask> tasks;
    bool decoded = true;
    try {
        tasks = trayline::decodeTaskList(body);
    } catch (const trayline::DecodingError&) {
        decoded = false;
    }
    if (decoded) {
        // The tree decoder must accept the same input and produce the same records.
        const auto tree = nlohmann::json::parse(body);
        const auto& result = tree.at("result");
        if (result.size() != tasks.size())
            std::abort();
        for (std::size_t i = 0; i < tasks.size(); ++i)
            if (!(trayline::SNTask::fromJson(result[i]) == tasks[i]))
                std::abort();
        for (const auto& t : tasks)
            (void)t.clipboardText(trayline::DateFormatter("en_US", "UTC"));
    }
    try {
        (void)trayline::decodeUserList(body);
        (void)trayline::decodeGroupMemberList(body);
    } catch (const trayline::DecodingError&) {
    }
    return 0;
}

#pragma once

// Helpers for talking to the demo instance over real loopback HTTP (httplib::Client).

#include <httplib.h>

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "demo_instance.h"
#include "util.h"

namespace trayline::demo::testing {

using Params = std::vector<std::pair<std::string, std::string>>;

inline std::string withQuery(const std::string& path, const Params& params) {
    std::string out = path;
    char sep = '?';
    for (const auto& [k, v] : params) {
        out += sep + util::percentEncode(k) + "=" + util::percentEncode(v);
        sep = '&';
    }
    return out;
}

inline std::string form(const Params& params) { return withQuery("", params).substr(1); }

inline httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

inline nlohmann::json body(const httplib::Result& r) {
    if (!r) throw std::runtime_error("no HTTP response: " + httplib::to_string(r.error()));
    return nlohmann::json::parse(r->body);
}

// Starts the instance and returns its base URL (for member initialisers).
inline std::string started(DemoInstance& instance) {
    instance.start();
    return instance.baseUrl();
}

// A Table API list of sc_task with these query parameters.
inline std::string tasksPath(const Params& params) { return withQuery("/api/now/table/sc_task", params); }

}  // namespace trayline::demo::testing

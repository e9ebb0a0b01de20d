#include "core/update/update_manifest.h"

#include <nlohmann/json.hpp>

#include "core/platform/decoding_error.h"

namespace trayline {

namespace {

using Json = nlohmann::json;

std::string required(const Json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string())
        throw DecodingError(std::string("The update feed has no text \"") + key + "\".");
    return it->get<std::string>();
}

std::optional<std::string> optional(const Json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return std::nullopt;
    if (!it->is_string())
        throw DecodingError(std::string("The update feed's \"") + key + "\" is not text.");
    return it->get<std::string>();
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares two runs of decimal digits by value, whatever their length.
std::strong_ordering compareNumbers(std::string_view a, std::string_view b) {
    const auto stripZeros = [](std::string_view s) {
        const auto first = s.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : s.substr(first);
    };
    a = stripZeros(a);
    b = stripZeros(b);
    if (a.size() != b.size())
        return a.size() <=> b.size();
    const int c = a.compare(b);
    return c < 0 ? std::strong_ordering::less
                 : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

}  // namespace

UpdateManifest UpdateManifest::fromJson(std::string_view json) {
    Json j;
    try {
        j = Json::parse(json);
    } catch (const Json::exception& e) {
        throw DecodingError(std::string("The update feed is not valid JSON (") + e.what() + ").");
    }
    if (!j.is_object())
        throw DecodingError("The update feed is not a JSON object.");
    UpdateManifest m;
    m.version = required(j, "version");
    m.build = optional(j, "build");
    m.date = optional(j, "date");
    m.url = required(j, "url");
    m.sha256 = optional(j, "sha256");
    m.notes = optional(j, "notes");
    m.minimumSystemVersion = optional(j, "minimumSystemVersion");
    return m;
}

std::strong_ordering compareVersions(std::string_view a, std::string_view b) {
    std::size_t i = 0, k = 0;
    while (i < a.size() && k < b.size()) {
        if (isDigit(a[i]) && isDigit(b[k])) {
            std::size_t endA = i, endB = k;
            while (endA < a.size() && isDigit(a[endA]))
                ++endA;
            while (endB < b.size() && isDigit(b[endB]))
                ++endB;
            if (const auto order = compareNumbers(a.substr(i, endA - i), b.substr(k, endB - k));
                order != std::strong_ordering::equal)
                return order;
            i = endA;
            k = endB;
            continue;
        }
        const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[k]);
        if (ca != cb)
            return ca <=> cb;
        ++i;
        ++k;
    }
    // One text is used up: the one with something left sorts after.
    return (a.size() - i) <=> (b.size() - k);
}

}  // namespace trayline

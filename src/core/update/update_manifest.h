#pragma once

// The update feed document and the version order used to decide whether it offers something new.

#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace trayline {

struct UpdateManifest {
    std::string version;
    std::optional<std::string> build;
    std::optional<std::string> date;
    std::string url;
    std::optional<std::string> sha256;
    std::optional<std::string> notes;
    std::optional<std::string> minimumSystemVersion;

    // Decodes one JSON object; other members are ignored and a null optional member is absent.
    // Throws DecodingError naming what is wrong.
    static UpdateManifest fromJson(std::string_view json);

    bool operator==(const UpdateManifest&) const = default;
};

// Numeric string order: runs of digits compare by value, other characters by code, case-sensitively;
// a prefix sorts first. No locale.
std::strong_ordering compareVersions(std::string_view a, std::string_view b);

// True when `candidate` sorts after `running` ("1.10" is newer than "1.9"; nothing that starts with
// a digit is newer than "dev").
inline bool isNewerVersion(std::string_view candidate, std::string_view running) {
    return compareVersions(candidate, running) == std::strong_ordering::greater;
}

}  // namespace trayline

#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace trayline {

// One field as the Table API returns it: the stored value and its display form.
struct SNField {
    std::string value;
    std::string display;

    static const SNField empty;

    // Lenient: an object gives {"value","display_value"}; a plain string or number gives the same
    // text to both; anything else gives the empty field. Never throws.
    static SNField fromJson(const nlohmann::json& j);

    bool operator==(const SNField&) const = default;
};

// Text of a JSON scalar: strings as is, integers in decimal, other numbers as the shortest text
// that reads back as the same double; booleans only when `allowBool`; everything else "".
std::string lenientText(const nlohmann::json& j, bool allowBool);

}  // namespace trayline

#include "core/servicenow/sn_field.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace trayline {

const SNField SNField::empty{};

std::string lenientText(const nlohmann::json& j, bool allowBool) {
    switch (j.type()) {
    case nlohmann::json::value_t::string:
        return j.get_ref<const std::string&>();
    case nlohmann::json::value_t::number_integer:
        return std::to_string(j.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        const auto u = j.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(INT64_MAX))
            return std::to_string(u);
        return nlohmann::json(static_cast<double>(u)).dump();
    }
    case nlohmann::json::value_t::number_float: {
        const double d = j.get<double>();
        // An integral value in range is an integer, whatever its spelling (3.0, 1e2).
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0)
            return std::to_string(static_cast<std::int64_t>(d));
        return j.dump();
    }
    case nlohmann::json::value_t::boolean:
        return allowBool ? (j.get<bool>() ? "true" : "false") : "";
    default:
        return "";
    }
}

SNField SNField::fromJson(const nlohmann::json& j) {
    if (j.is_object()) {
        SNField f;
        if (const auto it = j.find("value"); it != j.end())
            f.value = lenientText(*it, true);
        if (const auto it = j.find("display_value"); it != j.end())
            f.display = lenientText(*it, true);
        return f;
    }
    auto text = lenientText(j, false);
    return SNField{text, text};
}

}  // namespace trayline

#include "core/auth/token_set.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace trayline {

namespace {
// Expiries this far from the reference date (about 250 years) are not times a token endpoint
// produces; refusing them keeps the conversion to a time point free of overflow.
constexpr double kMaxAbsSeconds = 8e9;  // inside what a nanosecond instant can hold (to ~2262)
}  // namespace

std::optional<std::string> TokenSet::toJson() const {
    try {
        nlohmann::json j = {{"accessToken", accessToken},
                            {"refreshToken", refreshToken},
                            {"expiresAt", secondsSinceReferenceDate(expiresAt)}};
        return j.dump();  // compact; doubles are written with round-trip precision
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<TokenSet> TokenSet::fromJson(std::string_view text) {
    try {
        const auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!j.is_object())
            return std::nullopt;
        const auto access = j.find("accessToken");
        const auto refresh = j.find("refreshToken");
        const auto expires = j.find("expiresAt");
        if (access == j.end() || !access->is_string() || refresh == j.end() ||
            !refresh->is_string() || expires == j.end() || !expires->is_number())
            return std::nullopt;
        const double seconds = expires->get<double>();
        if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxAbsSeconds)
            return std::nullopt;
        return TokenSet{access->get<std::string>(), refresh->get<std::string>(),
                        fromSecondsSinceReferenceDate(seconds)};
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace trayline

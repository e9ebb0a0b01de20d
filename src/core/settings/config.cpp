#include "core/settings/config.h"

#include <algorithm>

#include "core/platform/preferences.h"
#include "core/platform/text.h"

namespace trayline {

namespace {

std::optional<nlohmann::json> stored(const char* key) {
    return PreferencesFile::forCurrentUser().value(key);
}

std::string stringSetting(const char* key, std::string_view fallback) {
    const auto v = stored(key);
    if (!v)
        return std::string(fallback);
    if (v->is_string())
        return v->get<std::string>();
    if (v->is_number_integer())
        return v->is_number_unsigned() ? std::to_string(v->get<std::uint64_t>())
                                       : std::to_string(v->get<std::int64_t>());
    if (v->is_number_float())
        return v->dump();  // shortest text that reads back as the same double
    return std::string(fallback);
}

bool boolSetting(const char* key, bool fallback) {
    const auto v = stored(key);
    return v && v->is_boolean() ? v->get<bool>() : fallback;
}

void storeTrimmed(const char* key, std::string_view v) {
    PreferencesFile::forCurrentUser().set(key, text::trimmed(v));
}

}  // namespace

std::string Config::instanceURL() {
    auto url = stringSetting("instanceURL", kDefaultInstanceURL);
    if (!url.empty() && url.back() == '/')
        url.pop_back();
    return url;
}

std::string Config::clientID() { return stringSetting("clientID", ""); }
std::string Config::table() { return stringSetting("table", "sc_task"); }
std::string Config::groupSysID() { return stringSetting("groupSysID", kDefaultGroupSysID); }
std::string Config::groupStates() { return stringSetting("groupStates", "1,2,3"); }
std::string Config::updateFeedURL() { return stringSetting("updateFeedURL", kDefaultUpdateFeedURL); }

std::int64_t Config::pollMinutes() {
    const auto v = stored("pollMinutes");
    if (!v || !v->is_number_integer())
        return 5;
    // The JSON parser reads non-negative numbers as unsigned.
    if (v->is_number_unsigned())
        return static_cast<std::int64_t>(std::clamp<std::uint64_t>(v->get<std::uint64_t>(), 1, kMaxPollMinutes));
    return std::clamp<std::int64_t>(v->get<std::int64_t>(), 1, kMaxPollMinutes);
}

bool Config::notifyNewRequest() { return boolSetting("notifyNewRequest", true); }
bool Config::notifyAssignedToMe() { return boolSetting("notifyAssignedToMe", true); }
bool Config::autoUpdate() { return boolSetting("autoUpdate", true); }
bool Config::mcpAllowWrites() { return boolSetting("mcpAllowWrites", false); }

std::optional<std::int64_t> Config::notificationsPausedUntil() {
    const auto v = stored("notificationsPausedUntil");
    if (!v || !v->is_number_integer())
        return std::nullopt;
    if (v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return v->get<std::int64_t>();
}

void Config::setInstanceURL(std::string_view v) { storeTrimmed("instanceURL", v); }
void Config::setClientID(std::string_view v) { storeTrimmed("clientID", v); }
void Config::setTable(std::string_view v) { storeTrimmed("table", v); }
void Config::setGroupSysID(std::string_view v) { storeTrimmed("groupSysID", v); }
void Config::setGroupStates(std::string_view v) { storeTrimmed("groupStates", v); }
void Config::setUpdateFeedURL(std::string_view v) { storeTrimmed("updateFeedURL", v); }

void Config::setPollMinutes(std::int64_t v) {
    PreferencesFile::forCurrentUser().set("pollMinutes", std::clamp<std::int64_t>(v, 1, kMaxPollMinutes));
}
void Config::setNotifyNewRequest(bool v) { PreferencesFile::forCurrentUser().set("notifyNewRequest", v); }
void Config::setNotifyAssignedToMe(bool v) {
    PreferencesFile::forCurrentUser().set("notifyAssignedToMe", v);
}
void Config::setAutoUpdate(bool v) { PreferencesFile::forCurrentUser().set("autoUpdate", v); }
void Config::setMcpAllowWrites(bool v) { PreferencesFile::forCurrentUser().set("mcpAllowWrites", v); }
void Config::setNotificationsPausedUntil(std::int64_t v) {
    PreferencesFile::forCurrentUser().set("notificationsPausedUntil", v);
}
void Config::clearNotificationsPausedUntil() { PreferencesFile::forCurrentUser().remove("notificationsPausedUntil"); }

std::string Config::clientSecret(const Keychain& keychain) {
    return keychain.get("clientSecret").value_or("");
}

void Config::setClientSecret(std::string_view v, const Keychain& keychain) {
    keychain.set(text::trimmed(v), "clientSecret");
}

bool Config::isConfigured(const Keychain& keychain) {
    if (instanceURL().empty() || clientID().empty())
        return false;
    const auto secret = keychain.get("clientSecret");
    return secret && !secret->empty();
}

std::string Config::groupQuery() {
    return "assignment_group=" + groupSysID() + "^stateIN" + groupStates() + "^ORDERBYDESCopened_at";
}

}  // namespace trayline

#pragma once

// The user's settings. Every getter reads the preferences file at call time, so a value saved by
// one process (the tray app) is seen by the next read in another (the MCP server).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/keychain.h"

namespace trayline {

struct Config {
    // Defaults for values the user has not saved yet.
    static constexpr std::string_view kDefaultInstanceURL = "https://brindle.service-now.com";
    static constexpr std::string_view kDefaultGroupSysID = "5a3d9e0c1b7f4c2a8e6d4b2f0a9c7e15";
    static constexpr std::string_view kDefaultUpdateFeedURL =
        "https://updates.brindle.dev/trayline/appcast.json";

    // A week. Far longer intervals overflow the timer's nanosecond count, which then fires at
    // once, forever.
    static constexpr std::int64_t kMaxPollMinutes = 7 * 24 * 60;

    static std::string instanceURL();  // one trailing "/" removed
    static std::string clientID();
    static std::string table();
    static std::string groupSysID();
    static std::string groupStates();
    static std::string updateFeedURL();
    // Between 1 and kMaxPollMinutes; 5 when absent or not an integer.
    static std::int64_t pollMinutes();
    static bool notifyNewRequest();
    static bool notifyAssignedToMe();
    static bool autoUpdate();
    static bool mcpAllowWrites();
    // "notificationsPausedUntil" when it holds an integer that fits 64 bits, else nullopt. What it
    // means (seconds since the epoch, -1 for "until resumed") is NotificationPause's business.
    static std::optional<std::int64_t> notificationsPausedUntil();

    // String setters store the text trimmed of Unicode white space and line breaks, also when
    // that leaves it empty. Setters throw std::system_error when the file cannot be written.
    static void setInstanceURL(std::string_view v);
    static void setClientID(std::string_view v);
    static void setTable(std::string_view v);
    static void setGroupSysID(std::string_view v);
    static void setGroupStates(std::string_view v);
    static void setUpdateFeedURL(std::string_view v);
    static void setPollMinutes(std::int64_t v);  // stores v brought within 1...kMaxPollMinutes
    static void setNotifyNewRequest(bool v);
    static void setNotifyAssignedToMe(bool v);
    static void setAutoUpdate(bool v);
    static void setMcpAllowWrites(bool v);
    static void setNotificationsPausedUntil(std::int64_t v);
    static void clearNotificationsPausedUntil();  // removes the key

    // The OAuth client secret lives in the keychain, never in the preferences file.
    static std::string clientSecret(const Keychain& keychain = Keychain());
    static void setClientSecret(std::string_view v, const Keychain& keychain = Keychain());

    // Instance URL, client ID and client secret all non-empty, tested in that order; the secret
    // is read only when the first two pass.
    static bool isConfigured(const Keychain& keychain = Keychain());

    // "assignment_group=<group>^stateIN<states>^ORDERBYDESCopened_at"
    static std::string groupQuery();
};

}  // namespace trayline

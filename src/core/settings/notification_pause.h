#pragma once

// Quiet hours. Notifications can be paused for an hour, until 08:00 tomorrow or until the user
// resumes. The pause lives in the preferences ("notificationsPausedUntil": seconds since the
// epoch, or -1 for "until resumed"), so it survives a restart and every process reads the same
// one. A time that has passed, or a value that is not such a number, means not paused.

#include <cstdint>
#include <optional>
#include <string>

#include "core/platform/time.h"

namespace trayline {

enum class PauseChoice { oneHour, untilTomorrow, untilResumed };

struct NotificationPause {
    static constexpr std::int64_t kUntilResumed = -1;
    static constexpr int kTomorrowHour = 8;

    bool paused = false;
    std::optional<std::int64_t> until;  // seconds since the epoch; none while paused: until resumed

    bool operator==(const NotificationPause&) const = default;

    // What a stored value means at `now`.
    static NotificationPause interpret(std::optional<std::int64_t> stored, Instant now);
    // The pause stored now, read afresh.
    static NotificationPause current(Instant now);
    // The value a choice made at `now` stores; "tomorrow" is 08:00 of the next calendar day in
    // `timeZone` (empty: the user's zone).
    static std::int64_t valueFor(PauseChoice choice, Instant now, const std::string& timeZone = {});

    // Store a choice, or end the pause (the key is removed). Throw std::system_error when the
    // preferences cannot be written.
    static void pause(PauseChoice choice, Instant now, const std::string& timeZone = {});
    static void resume();

    // How long from `now` until the pause ends by itself; none while it lasts until resumed or
    // when it is not paused.
    std::optional<std::chrono::milliseconds> remaining(Instant now) const;
};

}  // namespace trayline

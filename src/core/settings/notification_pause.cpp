#include "core/settings/notification_pause.h"

#include <limits>

#include "core/settings/config.h"

namespace trayline {

namespace {

std::int64_t millisSinceEpoch(Instant t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / 1000;

}  // namespace

NotificationPause NotificationPause::interpret(std::optional<std::int64_t> stored, Instant now) {
    if (!stored || *stored < kUntilResumed)
        return {};
    if (*stored == kUntilResumed)
        return {true, std::nullopt};
    // In milliseconds, so the pause lasts to its very second; a time too far ahead for them has
    // plainly not passed.
    if (*stored > kMaxSeconds || *stored * 1000 > millisSinceEpoch(now))
        return {true, *stored};
    return {};
}

NotificationPause NotificationPause::current(Instant now) {
    return interpret(Config::notificationsPausedUntil(), now);
}

std::int64_t NotificationPause::valueFor(PauseChoice choice, Instant now, const std::string& timeZone) {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    switch (choice) {
    case PauseChoice::oneHour:
        return duration_cast<seconds>(now.time_since_epoch()).count() + 3600;
    case PauseChoice::untilTomorrow:
        return duration_cast<seconds>(nextDayAt(now, kTomorrowHour, timeZone).time_since_epoch()).count();
    case PauseChoice::untilResumed:
        break;
    }
    return kUntilResumed;
}

void NotificationPause::pause(PauseChoice choice, Instant now, const std::string& timeZone) {
    Config::setNotificationsPausedUntil(valueFor(choice, now, timeZone));
}

void NotificationPause::resume() { Config::clearNotificationsPausedUntil(); }

std::optional<std::chrono::milliseconds> NotificationPause::remaining(Instant now) const {
    if (!paused || !until)
        return std::nullopt;
    const std::int64_t nowMs = millisSinceEpoch(now);
    if (*until > kMaxSeconds)
        return std::chrono::milliseconds(std::numeric_limits<std::int64_t>::max() - nowMs);
    return std::chrono::milliseconds(std::max<std::int64_t>(*until * 1000 - nowMs, 0));
}

}  // namespace trayline

#include "desktop/models/quiet_hours.h"

#include <algorithm>

#include "core/settings/config.h"
#include "desktop/models/background.h"
#include "desktop/platform/boot_timer.h"

namespace trayline {

namespace {
// A pause far ahead is looked at again once a day rather than armed for its whole length, so a
// clock set forward or back is caught up with.
constexpr std::chrono::milliseconds kLongestWait = std::chrono::hours(24);
}  // namespace

QuietHours::QuietHours(Clock clock, QThreadPool* pool, QObject* parent)
    : QObject(parent), clock_(std::move(clock)), pool_(pool), end_(new BootTimer(this)) {
    connect(end_, &BootTimer::timeout, this, &QuietHours::reload);
    reload();
}

QDateTime QuietHours::pausedUntil() const {
    return state_.until ? QDateTime::fromSecsSinceEpoch(*state_.until) : QDateTime();
}

bool QuietHours::reload() {
    if (!writing_)  // else the choice on its way is the newer truth
        stored_ = Config::notificationsPausedUntil();
    publish();
    return state_.paused;
}

void QuietHours::publish() {
    const Instant now = clock_();
    const auto state = NotificationPause::interpret(stored_, now);
    if (const auto left = state.remaining(now))
        end_->start(std::min(*left, kLongestWait));
    else
        end_->stop();
    if (state != state_) {
        state_ = state;
        Q_EMIT changed();
    }
}

void QuietHours::pause(PauseChoice choice) {
    const auto zone = DateFormatter::current().timeZone();
    store(NotificationPause::valueFor(choice, clock_(), zone), QStringLiteral("Couldn't pause notifications: "));
}

void QuietHours::resume() { store(std::nullopt, QStringLiteral("Couldn't resume notifications: ")); }

void QuietHours::store(std::optional<std::int64_t> value, const QString& failure) {
    stored_ = value;
    publish();
    if (writing_) {
        next_ = Queued{value, failure};
        return;
    }
    writing_ = true;
    inBackground(
        pool_, this,
        [value, pending = pendingWrite()] {
            if (value)
                Config::setNotificationsPausedUntil(*value);
            else
                Config::clearNotificationsPausedUntil();
        },
        [this, failure](Outcome<Done> written) {
            writing_ = false;
            setError(written.error ? failure + errorText(written.error) : QString());
            if (next_) {
                auto queued = std::move(*next_);
                next_.reset();
                return store(queued.value, queued.failure);
            }
            reload();  // after a failure: what is really stored
        });
}

void QuietHours::setError(const QString& message) {
    if (error_ == message)
        return;
    error_ = message;
    Q_EMIT errorMessageChanged();
}

}  // namespace trayline

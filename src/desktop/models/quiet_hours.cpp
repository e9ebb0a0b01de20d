#include "desktop/models/quiet_hours.h"

#include <algorithm>
#include <mutex>

#include "core/settings/config.h"
#include "desktop/models/background.h"
#include "desktop/platform/boot_timer.h"

namespace trayline {

namespace {
// A pause far ahead is looked at again once a day rather than armed for its whole length, so a
// clock set forward or back is caught up with.
constexpr std::chrono::milliseconds kLongestWait = std::chrono::hours(24);
}  // namespace

// The choice a running write job takes on when it is done with its own; it never waits for the
// main thread, whose event loop has ended once the app quits.
struct QuietHours::Writes {
    struct Choice {
        std::optional<std::int64_t> value;
        QString failure;
    };
    std::mutex mutex;
    bool running = false;
    std::optional<Choice> next;
};

QuietHours::QuietHours(Clock clock, QThreadPool* pool, QObject* parent)
    : QObject(parent), clock_(std::move(clock)), pool_(pool), end_(new BootTimer(this)),
      writes_(std::make_shared<Writes>()) {
    connect(end_, &BootTimer::timeout, this, &QuietHours::reload);
    reload();
}

QDateTime QuietHours::pausedUntil() const {
    return state_.until ? QDateTime::fromSecsSinceEpoch(*state_.until) : QDateTime();
}

bool QuietHours::reload() {
    if (writing_ == 0)  // else the choice on its way is the newer truth
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
    Writes::Choice choice{value, failure};
    {
        std::lock_guard lock(writes_->mutex);
        if (writes_->running) {
            writes_->next = std::move(choice);  // the running job writes it next
            return;
        }
        writes_->running = true;
    }
    ++writing_;
    inBackground(
        pool_, this,
        [writes = writes_, choice = std::move(choice), pending = pendingWrite()]() mutable {
            QString error;  // of the last choice written
            for (;;) {
                try {
                    if (choice.value)
                        Config::setNotificationsPausedUntil(*choice.value);
                    else
                        Config::clearNotificationsPausedUntil();
                    error.clear();
                } catch (...) {
                    error = choice.failure + errorText(std::current_exception());
                }
                std::lock_guard lock(writes->mutex);
                if (!writes->next) {
                    writes->running = false;
                    return error;
                }
                choice = std::move(*writes->next);
                writes->next.reset();
            }
        },
        [this](Outcome<QString> written) {
            --writing_;
            setError(written.error ? errorText(written.error) : *written.value);
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

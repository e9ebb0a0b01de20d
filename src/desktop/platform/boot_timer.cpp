#include "desktop/platform/boot_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include <QSocketNotifier>

namespace trayline {

BootTimer::BootTimer(QObject* parent) : QObject(parent) {
    fd_ = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0)  // kernels without CLOCK_BOOTTIME timers: the monotonic clock is the next best
        fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "timerfd_create");
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &BootTimer::onReadable);
}

BootTimer::~BootTimer() {
    delete notifier_;
    ::close(fd_);
}

void BootTimer::start(std::chrono::milliseconds interval) {
    using namespace std::chrono;
    // it_value of zero would disarm the timer: the shortest interval is one nanosecond.
    const auto ns = std::max<std::int64_t>(duration_cast<nanoseconds>(interval).count(), 1);
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    spec.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    ::timerfd_settime(fd_, 0, &spec, nullptr);
    active_ = true;
}

void BootTimer::stop() {
    itimerspec spec{};
    ::timerfd_settime(fd_, 0, &spec, nullptr);
    std::uint64_t expirations = 0;
    while (::read(fd_, &expirations, sizeof expirations) > 0) {
    }  // drop an expiry that was already pending
    active_ = false;
}

void BootTimer::onReadable() {
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations)
        return;  // re-armed or stopped since the descriptor became readable
    active_ = false;
    Q_EMIT timeout();
}

}  // namespace trayline

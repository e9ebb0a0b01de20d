#pragma once

// A single-shot timer on CLOCK_BOOTTIME: its interval keeps running while the computer is
// suspended, so a poll falls due on the wall-clock schedule rather than after extra sleep time.
// The timerfd is watched by the event loop; nothing blocks while it waits.

#include <chrono>

#include <QObject>

class QSocketNotifier;

namespace trayline {

class BootTimer : public QObject {
    Q_OBJECT
public:
    // Throws std::system_error when no timer descriptor can be created.
    explicit BootTimer(QObject* parent = nullptr);
    ~BootTimer() override;

    // (Re)arms the timer; an interval of zero or less fires at the next event-loop turn.
    void start(std::chrono::milliseconds interval);
    void stop();
    bool isActive() const { return active_; }

Q_SIGNALS:
    void timeout();

private:
    void onReadable();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    bool active_ = false;
};

}  // namespace trayline

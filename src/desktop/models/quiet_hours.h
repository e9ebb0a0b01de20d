#pragma once

// The pause of notifications as the tray app sees it. The stored pause is the truth: it is read
// afresh whenever it matters (before and after every refresh, when the panel shows it), so a pause
// set by another process or edited by hand applies as it is. One timer on the boot-time clock ends
// the pause at its time, sleep included; there is no polling of its own.
//
// A choice is published at once and written on a worker, one write at a time in the order chosen,
// so a quick "Pause" then "Resume" ends resumed. A choice made while a write runs is written by that
// same job, which holds the pending write until then: quitting right after loses neither. A failed
// write is reported, and the stored state shows again.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <QDateTime>
#include <QObject>
#include <QString>

#include "core/settings/notification_pause.h"

class QThreadPool;

namespace trayline {

class BootTimer;

class QuietHours : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<Instant()>;

    QuietHours(Clock clock, QThreadPool* pool, QObject* parent = nullptr);

    // As last read or chosen.
    bool isPaused() const { return state_.paused; }
    // When the pause ends by itself; invalid while it lasts until resumed (or nothing is paused).
    QDateTime pausedUntil() const;
    // Why the last choice could not be stored; empty when it was.
    QString errorMessage() const { return error_; }

    // Reads the stored pause again and tells whether notifications are paused now.
    bool reload();
    void pause(PauseChoice choice);
    void resume();

Q_SIGNALS:
    void changed();  // paused or its end
    void errorMessageChanged();

private:
    void store(std::optional<std::int64_t> value, const QString& failure);
    void publish();
    void setError(const QString& message);

    Clock clock_;
    QThreadPool* pool_;
    BootTimer* end_;
    std::optional<std::int64_t> stored_;  // the value in the preferences, or on its way there
    NotificationPause state_;
    int writing_ = 0;  // write jobs whose outcome has not come back yet
    struct Writes;     // shared with the write job
    std::shared_ptr<Writes> writes_;
    QString error_;
};

}  // namespace trayline

#pragma once

// The widget tests' QApplication (offscreen, Fusion, set up before any test), a sample task and a
// manual clock for delayed callbacks, so tests never sleep.

#include <functional>
#include <map>
#include <ostream>
#include <string>

#include "core/servicenow/sn_task.h"
#include "desktop/ui/copy_confirmation.h"

namespace trayline::test {

// A request-backed task (number, requested item, request, caller, dates) in state "2".
SNTask sampleTask();
SNField field(std::string value, std::string display);
SNField field(std::string both);

// Holds scheduled callbacks until the test moves its time forward.
class ManualClock {
public:
    ui::CopyConfirmation::Scheduler scheduler() {
        return [this](std::chrono::milliseconds delay, std::function<void()> run) {
            pending_.emplace(now_ + delay.count(), std::move(run));
        };
    }
    // Runs, in due order, every callback due at or before `ms` after the start.
    void advanceTo(long long ms) {
        while (!pending_.empty() && pending_.begin()->first <= ms) {
            auto due = pending_.extract(pending_.begin());
            now_ = due.key();
            due.mapped()();
        }
        now_ = ms;
    }

private:
    long long now_ = 0;
    std::multimap<long long, std::function<void()>> pending_;  // equal times in the order scheduled
};

}  // namespace trayline::test

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }  // readable failures

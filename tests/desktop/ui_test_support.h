#pragma once

// A QApplication (offscreen, Fusion) for widget tests, palettes, a sample task and a manual clock
// for delayed callbacks, so tests never sleep.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <QPalette>

#include "core/servicenow/sn_task.h"
#include "desktop/ui/copy_confirmation.h"

namespace trayline::test {

void ensureWidgetApp();

QPalette lightPalette();
QPalette darkPalette();

// A request-backed task (number, requested item, request, caller, dates) in state "2".
SNTask sampleTask();
SNField field(std::string value, std::string display);
SNField field(std::string both);

// Holds scheduled callbacks until the test moves its time forward.
class ManualClock {
public:
    ui::CopyConfirmation::Scheduler scheduler();
    // Runs, in due order, every callback due at or before `ms` after the start.
    void advanceTo(long long ms);

private:
    struct Pending {
        long long due;
        std::function<void()> run;
    };
    long long now_ = 0;
    std::vector<Pending> pending_;
};

}  // namespace trayline::test

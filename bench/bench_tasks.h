#pragma once

// The demo instance filled so that each of the four task lists reaches its 100-row limit.

#include <chrono>
#include <string>

#include "core/platform/time.h"
#include "demo_instance.h"

namespace trayline::bench {

inline void fillLists(demo::DemoInstance& instance) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const year_month_day today{floor<days>(now)};
    const auto lastMonth = sys_days{year_month_day{today.year() / today.month() / 1} - months{1}} + days{9};
    for (int i = 0; i < 100; ++i) {
        const auto stamp = formatUtc(now - minutes(i));
        instance.insertTask({{"short_description", "Queued " + std::to_string(i)}, {"opened_at", stamp}});
        instance.insertTask({{"short_description", "Mine " + std::to_string(i)},
                             {"assigned_to", demo::kDemoUserSysId}, {"opened_at", stamp}});
        instance.insertTask({{"state", "5"}, {"closed_at", formatUtc(floor<days>(now) + seconds(i))}});
        instance.insertTask({{"state", "5"}, {"closed_at", formatUtc(lastMonth + seconds(i))}});
    }
}

}  // namespace trayline::bench

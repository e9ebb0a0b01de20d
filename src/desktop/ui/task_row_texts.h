#pragma once

// The task row's derived texts, colours and copy entries, as pure functions of the task and the
// current time, so every rule is checked without a widget.

#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "core/platform/time.h"
#include "core/servicenow/sn_task.h"
#include "desktop/ui/style.h"

namespace trayline::ui {

// Whole calendar days from `from` to `to` in a time zone (IANA id; empty: the system's).
long long calendarDaysBetween(Instant from, Instant to, const std::string& timeZone);

// "Jun 3, 2025 (3 days old)": the request's opening date and its age; none without that date.
std::optional<QString> ageText(const SNTask& task, Instant now, const DateFormatter& dates);

// "updated 5m ago" from the record's last update; none when that time does not parse.
std::optional<QString> updatedText(const SNTask& task, Instant now);

// The badge colour for a state value.
NamedColor stateColor(const std::string& stateValue);

// The row's context menu, in order. A separator entry has no title.
struct CopyMenuEntry {
    QString title;
    QString text;
    bool isSeparator() const { return title.isEmpty(); }
    bool operator==(const CopyMenuEntry&) const = default;
};
std::vector<CopyMenuEntry> copyMenuEntries(const SNTask& task);

inline QString qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace trayline::ui

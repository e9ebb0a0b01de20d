#include "desktop/ui/task_row_texts.h"

#include <chrono>

#include <QDateTime>
#include <QTimeZone>

namespace trayline::ui {

namespace {

qint64 epochSeconds(Instant t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

long long calendarDaysBetween(Instant from, Instant to, const std::string& timeZone) {
    QTimeZone zone = timeZone.empty() ? QTimeZone::systemTimeZone()
                                      : QTimeZone(QByteArray::fromStdString(timeZone));
    if (!zone.isValid())
        zone = QTimeZone::utc();
    const QDate a = QDateTime::fromSecsSinceEpoch(epochSeconds(from), zone).date();
    const QDate b = QDateTime::fromSecsSinceEpoch(epochSeconds(to), zone).date();
    return a.isValid() && b.isValid() ? a.daysTo(b) : 0;
}

std::optional<QString> ageText(const SNTask& task, Instant now, const DateFormatter& dates) {
    const std::optional<Instant> opened = task.reqOpenedDate();
    if (!opened)
        return std::nullopt;
    const long long days = calendarDaysBetween(*opened, now, dates.timeZone());
    QString age;
    if (days < 1)
        age = QStringLiteral("today");
    else if (days == 1)
        age = QStringLiteral("1 day old");
    else
        age = QString::number(days) + QStringLiteral(" days old");
    return qs(dates.mediumDate(*opened)) + QStringLiteral(" (") + age + QStringLiteral(")");
}

std::optional<QString> updatedText(const SNTask& task, Instant now) {
    const std::optional<Instant> updated = parseUtc(task.updatedOn.value);
    if (!updated)
        return std::nullopt;
    // Whole seconds on each side first: the difference of two instants far apart could overflow
    // the clock's nanosecond count.
    const long long s = epochSeconds(now) - epochSeconds(*updated);
    const long long m = s < -59 ? 0 : s / 60;
    long long amount = m;
    QChar unit = u'm';
    if (s > 3599 && s < 86400) {
        amount = m / 60;
        unit = u'h';
    } else if (s >= 86400) {
        amount = m / 1440;
        unit = u'd';
    }
    return QStringLiteral("updated ") + QString::number(amount) + unit + QStringLiteral(" ago");
}

NamedColor stateColor(const std::string& stateValue) {
    if (stateValue == "1")
        return NamedColor::Blue;
    if (stateValue == "2")
        return NamedColor::Orange;
    if (stateValue == "3")
        return NamedColor::Cyan;
    if (stateValue == "5")
        return NamedColor::Green;
    if (stateValue == "-5")
        return NamedColor::Purple;
    return NamedColor::Gray;
}

std::vector<CopyMenuEntry> copyMenuEntries(const SNTask& task) {
    std::vector<CopyMenuEntry> entries;
    for (const std::string* number :
         {&task.request.display, &task.requestItem.display, &task.number.display})
        if (!number->empty())
            entries.push_back({QStringLiteral("Copy ") + qs(*number), qs(*number)});
    entries.push_back({});
    entries.push_back({QStringLiteral("Copy ticket text"), qs(task.clipboardText())});
    const std::string description = task.effectiveDescription();
    entries.push_back({QStringLiteral("Copy description"),
                       qs(description.empty() ? task.effectiveShortDescription() : description)});
    if (const auto url = task.recordURL())
        entries.push_back({QStringLiteral("Copy link"), qs(*url)});
    return entries;
}

}  // namespace trayline::ui

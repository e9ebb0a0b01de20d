#include "desktop/ui/panel_logic.h"

#include <QLocale>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <unordered_set>

#include <QDateTime>
#include <QTimeZone>

#include "core/platform/text.h"
#include "core/platform/url.h"
#include "core/servicenow/watcher_queries.h"
#include "core/settings/config.h"

namespace trayline::ui {

MiddleArea chooseMiddleArea(const PanelInputs& in) {
    if (in.showingSettings || (in.ready && !in.configured))
        return MiddleArea::settings;
    if (in.showingUpdateNotes && in.updateAvailable)
        return MiddleArea::updateNotes;
    if (in.showingChangelog)
        return MiddleArea::changelog;
    if (!in.ready)
        return MiddleArea::loading;
    if (!in.signedIn)
        return MiddleArea::signIn;
    if (in.assigning)
        return MiddleArea::assign;
    if (in.closing)
        return MiddleArea::close;
    return MiddleArea::lists;
}

TaskList unassignedTasks(const TaskList& group) {
    TaskList out;
    std::copy_if(group.begin(), group.end(), std::back_inserter(out),
                 [](const SNTask& t) { return t.assigneeKnown && t.assignedTo.value.empty(); });
    return out;
}

TaskList memberTasks(const TaskList& group, const std::string& userSysID) {
    TaskList out;
    std::copy_if(group.begin(), group.end(), std::back_inserter(out),
                 [&](const SNTask& t) { return t.assignedTo.value == userSysID; });
    return out;
}

int memberTaskCount(const TaskList& group, const std::string& userSysID) {
    std::unordered_set<std::string_view> rows;
    for (const SNTask& t : group)
        if (t.assignedTo.value == userSysID)
            rows.insert(t.sysID.value);
    return static_cast<int>(rows.size());
}

UserList visibleMembers(const UserList& members, const TaskList& group, const std::string& tab) {
    UserList out;
    std::copy_if(members.begin(), members.end(), std::back_inserter(out), [&](const SNUser& m) {
        return memberTaskCount(group, m.sysID) > 0 || m.sysID == tab;
    });
    std::stable_sort(out.begin(), out.end(), [&](const SNUser& a, const SNUser& b) {
        return memberTaskCount(group, a.sysID) > memberTaskCount(group, b.sysID);
    });
    return out;
}

UserList hiddenMembers(const UserList& members, const TaskList& group, const std::string& tab) {
    UserList out;
    std::copy_if(members.begin(), members.end(), std::back_inserter(out), [&](const SNUser& m) {
        return memberTaskCount(group, m.sysID) == 0 && m.sysID != tab;
    });
    return out;
}

TaskList currentTasks(const std::string& tab, const Lists& lists) {
    if (tab == "mine")
        return lists.mine;
    if (tab == "all")
        return lists.group;
    if (tab == "unassigned")
        return unassignedTasks(lists.group);
    if (tab == "doneThis")
        return lists.doneThisMonth;
    if (tab == "doneLast")
        return lists.doneLastMonth;
    return memberTasks(lists.group, tab);
}

bool showsAssignee(const std::string& tab) { return tab == "all" || tab == "doneThis" || tab == "doneLast"; }

QString memberChipLabel(const std::string& name, int count) {
    const auto words = QString::fromStdString(name).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString first = words.isEmpty() ? QString::fromStdString(name) : words.front();
    return first + QStringLiteral(" (") + QString::number(count) + QLatin1Char(')');
}

QString monthLabel(int offset, Instant now, const DateFormatter& dates) {
    using namespace std::chrono;
    // Calendar months in the formatter's zone, falling back to the instant itself.
    const QTimeZone zone(QByteArray::fromStdString(dates.timeZone()));
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms, zone.isValid() ? zone : QTimeZone::systemTimeZone());
    const QDateTime moved = local.addMonths(offset);
    const Instant target = moved.isValid() ? Instant(milliseconds(moved.toMSecsSinceEpoch())) : now;
    return QString::fromStdString(dates.abbreviatedMonth(target));
}

QString truncationNote(const std::string& tab, const ListSizes& sizes) {
    const QLocale locale = QLocale::system();
    const bool member = tab != "mine" && tab != "all" && tab != "unassigned" && tab != "doneThis" && tab != "doneLast";
    const ListSize& size = tab == "mine"       ? sizes.mine
                           : tab == "unassigned" ? sizes.unassigned
                           : tab == "doneThis"   ? sizes.doneThisMonth
                           : tab == "doneLast"   ? sizes.doneLastMonth
                                                 : sizes.group;
    if (!size.truncated())
        return {};
    const QString rows = locale.toString(size.rows);
    if (member)
        return size.total ? QStringLiteral("Counted among the first %1 of %2 tasks in the group queue")
                                .arg(rows, locale.toString(static_cast<qint64>(*size.total)))
                          : QStringLiteral("Counted among the first %1 tasks in the group queue").arg(rows);
    if (!size.total)
        return QStringLiteral("Showing the first %1").arg(rows);
    return QStringLiteral("Showing %1 of %2").arg(rows, locale.toString(static_cast<qint64>(*size.total)));
}

std::optional<std::string> listAddress(const std::string& tab) {
    std::string query;
    if (tab == "mine")
        query = queries::myTasks();
    else if (tab == "doneThis")
        query = queries::closedThisMonth();
    else if (tab == "doneLast")
        query = queries::closedLastMonth();
    else
        query = queries::groupQueue();  // also the unassigned and member tabs: the whole queue
    const auto address = Config::instanceURL() + "/nav_to.do?uri=" + Config::table() +
                         "_list.do%3Fsysparm_query%3D" + text::encodeAsciiUnreserved(query);
    if (!parseURL(address))
        return std::nullopt;
    return address;
}

QString bannerTeaser(const QString& notes) {
    for (const auto& piece : notes.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!piece.startsWith(QLatin1Char('-')))
            continue;
        QString rest = piece.mid(1);
        const auto isBlank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
        qsizetype from = 0, to = rest.size();
        while (from < to && isBlank(rest[from]))
            ++from;
        while (to > from && isBlank(rest[to - 1]))
            --to;
        return rest.mid(from, to - from);
    }
    return QString();
}

}  // namespace trayline::ui

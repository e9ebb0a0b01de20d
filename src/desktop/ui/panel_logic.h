#pragma once

// What the panel shows, decided from the models' published values: which content fills the middle
// area, the lists behind each tab, the member chips, the list link and the update teaser. Pure
// functions, so every rule is testable without a widget.

#include <optional>
#include <string>

#include <QString>

#include "core/platform/time.h"
#include "desktop/models/task_order.h"

namespace trayline::ui {

enum class MiddleArea { settings, updateNotes, changelog, loading, signIn, assign, close, lists };

struct PanelInputs {
    bool showingSettings = false;
    bool showingUpdateNotes = false;
    bool showingChangelog = false;
    bool assigning = false;       // a task waits in the assign sheet
    bool closing = false;         // a task waits in the close sheet
    bool ready = false;           // the sign-in state and configuration have been read once
    bool configured = false;
    bool updateAvailable = false;
    bool signedIn = false;
};

// The first rule that holds wins. Until the keyring has answered, nothing that depends on it is
// decided: the panel shows "Loading…" instead of a sign-in prompt or settings it might not need.
MiddleArea chooseMiddleArea(const PanelInputs& in);

// Tabs: "mine", "all", "unassigned", "doneThis", "doneLast", or a member's sys_id.
TaskList unassignedTasks(const TaskList& group);
TaskList memberTasks(const TaskList& group, const std::string& userSysID);
int memberTaskCount(const TaskList& group, const std::string& userSysID);
// Members with tasks in the group queue (or the selected one), most tasks first, ties in member order.
UserList visibleMembers(const UserList& members, const TaskList& group, const std::string& tab);
// The others, in member order.
UserList hiddenMembers(const UserList& members, const TaskList& group, const std::string& tab);

struct Lists {
    const TaskList& mine;
    const TaskList& group;
    const TaskList& doneThisMonth;
    const TaskList& doneLastMonth;
};
TaskList currentTasks(const std::string& tab, const Lists& lists);
bool showsAssignee(const std::string& tab);

// "Jordan (2)": the first word of the name (the whole name when it has none) and the count.
QString memberChipLabel(const std::string& name, int count);
// The abbreviated month name, `offset` calendar months from `now`, in the formatter's locale.
QString monthLabel(int offset, Instant now, const DateFormatter& dates);

// The line above a list that is not the whole list on the instance: "Showing 100 of 1,515", or for
// a member's tab (whose tasks come from the group queue's rows) which rows were counted; null when
// the tab shows everything. Numbers in the user's locale.
struct ListSizes {
    const ListSize& mine;
    const ListSize& group;
    const ListSize& unassigned;
    const ListSize& doneThisMonth;
    const ListSize& doneLastMonth;
};
QString truncationNote(const std::string& tab, const ListSizes& sizes);

// The current tab's list on the instance, from the settings now; nullopt when it is not a URL.
std::optional<std::string> listAddress(const std::string& tab);

// The banner's one-line summary of the notes: the first non-empty line starting with "-", without
// it, trimmed of spaces and tabs; null when there is none.
QString bannerTeaser(const QString& notes);

}  // namespace trayline::ui

#pragma once

// Which arrivals deserve a notification after a successful refresh.

#include "desktop/models/task_order.h"

namespace trayline {

class Notifier;

// Posts "Assigned to you: …" for every task of `newMy` not in `previousMy`, then "New request: …"
// for every task of `newGroup` not in `previousGroup` and not just announced as assigned; both in
// list order. The two switches are read from the settings at the moment of the call.
void notifyChanges(const TaskList& newMy, const IdSet& previousMy, const TaskList& newGroup,
                   const IdSet& previousGroup, Notifier& notifier);

}  // namespace trayline

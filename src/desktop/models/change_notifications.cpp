#include "desktop/models/change_notifications.h"

#include <QString>

#include "core/settings/config.h"
#include "desktop/platform/notifier.h"

namespace trayline {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

void notifyChanges(const TaskList& newMy, const IdSet& previousMy, const TaskList& newGroup,
                   const IdSet& previousGroup, Notifier& notifier) {
    IdSet announced;
    if (Config::notifyAssignedToMe()) {
        for (const auto& task : newMy) {
            if (previousMy.contains(task.sysID.value))
                continue;
            announced.insert(task.sysID.value);
            notifier.send(QStringLiteral("Assigned to you: ") + qs(task.number.display),
                          qs(task.effectiveShortDescription()), QStringLiteral("mine-") + qs(task.sysID.value));
        }
    }
    if (Config::notifyNewRequest()) {
        for (const auto& task : newGroup) {
            if (previousGroup.contains(task.sysID.value) || announced.contains(task.sysID.value))
                continue;
            notifier.send(QStringLiteral("New request: ") + qs(task.number.display),
                          qs(task.effectiveShortDescription()), QStringLiteral("new-") + qs(task.sysID.value));
        }
    }
}

}  // namespace trayline

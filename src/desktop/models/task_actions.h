#pragma once

// The actions of the assign and close sheets. They belong to the queue model, not to a sheet: a
// sheet that goes away while its request runs does not cancel it, and the refresh that follows a
// successful change still happens. Every request runs on the model's workers; every future
// finishes (or fails with the core's error, whose what() is the text to show) from the event loop.

#include <cstdint>

#include <QFuture>
#include <QObject>
#include <QString>

#include "desktop/models/task_order.h"

class QThreadPool;

namespace trayline {

class AppModel;

class TaskActions : public QObject {
    Q_OBJECT

public:
    TaskActions(AppModel* model, QThreadPool* pool);

    // The people shown for a task to be assigned: the group's active members, or the active users
    // whose name contains `text` (none for fewer than two characters). Latest wins: once a newer
    // lookup has been asked for, an older one's future is cancelled instead of delivering its list.
    QFuture<UserList> groupMembers();
    QFuture<UserList> searchUsers(const QString& text);

    // Assigns the task (and, when asked and it has one, its requested item) to the user, then
    // refreshes the model; finishes once that refresh has ended.
    QFuture<void> assign(const SNTask& task, const QString& userSysID, bool alsoRITM);
    // Closes the task with the resolution as given, then refreshes the model; finishes once that
    // refresh has ended.
    QFuture<void> close(const SNTask& task, const QString& resolution);

private:
    template <class Work>
    QFuture<UserList> lookUpPeople(Work work);
    template <class Work>
    QFuture<void> changeThenRefresh(Work work);

    AppModel* model_;
    QThreadPool* pool_;
    std::uint64_t peopleSeq_ = 0;
};

}  // namespace trayline

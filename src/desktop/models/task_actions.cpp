#include "desktop/models/task_actions.h"

#include <QPromise>

#include "core/servicenow/service_now_client.h"
#include "desktop/models/app_model.h"
#include "desktop/models/background.h"

namespace trayline {

TaskActions::TaskActions(AppModel* model, QThreadPool* pool) : QObject(model), model_(model), pool_(pool) {}

template <class Work>
QFuture<UserList> TaskActions::lookUpPeople(Work work) {
    auto promise = std::make_shared<QPromise<UserList>>();
    promise->start();
    inBackground(pool_, this, std::move(work), [this, promise, seq = ++peopleSeq_](Outcome<UserList> people) {
        if (seq != peopleSeq_)
            promise->future().cancel();  // a newer lookup's answer is the one to show
        else if (people.error)
            promise->setException(people.error);
        else
            promise->addResult(std::move(*people.value));
        promise->finish();
    });
    return promise->future();
}

QFuture<UserList> TaskActions::groupMembers() {
    return lookUpPeople([] { return ServiceNowClient().groupMembers(); });
}

QFuture<UserList> TaskActions::searchUsers(const QString& text) {
    return lookUpPeople([text = text.toStdString()] { return ServiceNowClient().searchUsers(text); });
}

template <class Work>
QFuture<void> TaskActions::changeThenRefresh(Work work) {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    inBackground(pool_, this, std::move(work), [this, promise](Outcome<Done> changed) {
        if (changed.error) {
            promise->setException(changed.error);
            promise->finish();
            return;
        }
        model_->refresh().then(this, [promise] { promise->finish(); });
    });
    return promise->future();
}

QFuture<void> TaskActions::assign(const SNTask& task, const QString& userSysID, bool alsoRITM) {
    return changeThenRefresh([task, user = userSysID.toStdString(), alsoRITM] {
        ServiceNowClient().assign(task, user, alsoRITM && !task.requestItem.value.empty());
    });
}

QFuture<void> TaskActions::close(const SNTask& task, const QString& resolution) {
    return changeThenRefresh([task, resolution = resolution.toStdString()] {
        ServiceNowClient().close(task, resolution);
    });
}

}  // namespace trayline

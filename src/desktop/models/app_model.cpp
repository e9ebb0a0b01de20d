#include "desktop/models/app_model.h"

#include <QPromise>

#include "core/servicenow/service_now_client.h"
#include "core/settings/config.h"
#include "desktop/models/auth_manager.h"
#include "desktop/platform/boot_timer.h"

namespace trayline {

AppModel::AppModel(Options options, QObject* parent)
    : QObject(parent),
      auth_(new AuthManager(std::move(options.signIn), this)),
      notifier_(options.notifier),
      minute_(options.minute),
      sleep_(new BootTimer(this)) {
    connect(sleep_, &BootTimer::timeout, this, [this] { pollTick(loop_); });
    if (options.startPolling)
        startPolling();
}

void AppModel::startPolling() {
    ++loop_;
    sleep_->stop();
    if (loopRun_) {
        abandon(loopRun_);
        loopRun_.reset();
    }
    pollTick(loop_);
}

void AppModel::pollTick(std::uint64_t loop) {
    if (loop != loop_)
        return;
    loopRun_ = startRefresh([this, loop] {
        if (loop != loop_)
            return;
        loopRun_.reset();
        // Read after every refresh, so a changed interval applies from the next sleep on.
        sleep_->start(Config::pollMinutes() * minute_);
    });
}

QFuture<void> AppModel::refresh() {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    startRefresh([promise] { promise->finish(); });
    return promise->future();
}

void AppModel::lookUpMe(std::function<void(Outcome<SNUser>)> onDone) {
    if (cachedMe_)
        return onDone(Outcome<SNUser>{cachedMe_, nullptr});
    meWaiters_.push_back(std::move(onDone));
    if (meWaiters_.size() > 1)
        return;  // a lookup is already on its way
    inBackground(pool_.get(), this, [] { return ServiceNowClient().currentUser(); }, [this](Outcome<SNUser> me) {
        if (me.value)
            cachedMe_ = me.value;
        auto waiters = std::move(meWaiters_);
        meWaiters_.clear();
        for (auto& waiter : waiters)
            waiter(me);
    });
}

QFuture<SNUser> AppModel::currentUser() {
    auto promise = std::make_shared<QPromise<SNUser>>();
    promise->start();
    lookUpMe([promise](Outcome<SNUser> me) {
        if (me.error)
            promise->setException(me.error);
        else
            promise->addResult(*me.value);
        promise->finish();
    });
    return promise->future();
}

QFuture<void> AppModel::assignToMe(const SNTask& task) {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    auto failed = [this, promise](const std::exception_ptr& error) {
        setErrorMessage(QStringLiteral("Assign failed: ") + errorText(error));
        promise->finish();
    };
    lookUpMe([this, promise, failed, sysID = task.sysID.value](Outcome<SNUser> me) {
        if (me.error)
            return failed(me.error);
        // Only the task record changes: no requested item, no assignment group.
        inBackground(
            pool_.get(), this,
            [sysID, user = me.value->sysID] {
                ServiceNowClient().patch(Config::table(), sysID, {{"assigned_to", user}});
            },
            [this, promise, failed](Outcome<Done> patched) {
                if (patched.error)
                    return failed(patched.error);
                startRefresh([promise] { promise->finish(); });
            });
    });
    return promise->future();
}

void AppModel::publishList(std::size_t index, TaskList tasks) {
    lists_[index] = std::move(tasks);
    switch (index) {
    case 0: Q_EMIT myTasksChanged(); break;
    case 1: Q_EMIT groupTasksChanged(); break;
    case 2: Q_EMIT doneThisMonthChanged(); break;
    default: Q_EMIT doneLastMonthChanged(); break;
    }
}

void AppModel::setErrorMessage(const QString& message) {
    errorMessage_ = message;
    Q_EMIT errorMessageChanged();
}

void AppModel::setRefreshing(int delta) {
    activeRefreshes_ += delta;
    // Every start is published; the end only when no other refresh is still running.
    if (delta > 0 || activeRefreshes_ == 0)
        Q_EMIT isRefreshingChanged();
}

}  // namespace trayline

#include "desktop/models/app_model.h"

#include <QPromise>

#include "core/servicenow/service_now_client.h"
#include "core/settings/config.h"
#include "desktop/models/auth_manager.h"
#include "desktop/models/quiet_hours.h"
#include "desktop/models/settings_model.h"
#include "desktop/models/task_actions.h"
#include "desktop/platform/boot_timer.h"

namespace trayline {

AppModel::AppModel(Options options, QObject* parent)
    : QObject(parent),
      auth_(new AuthManager(std::move(options.signIn), this)),
      notifier_(options.notifier),
      minute_(options.minute),
      sleep_(new BootTimer(this)),
      clock_(options.clock) {
    // Here, not in the initialiser list: the pool is the last member.
    actions_ = new TaskActions(this, pool_.get());
    settings_ = new SettingsModel(this, pool_.get());
    quiet_ = new QuietHours(std::move(options.clock), pool_.get(), this);
    connect(quiet_, &QuietHours::changed, this, &AppModel::notificationsPausedChanged);
    connect(sleep_, &BootTimer::timeout, this, [this] { pollTick(loop_); });
    connect(auth_, &AuthManager::sessionChanged, this, &AppModel::startSession);
    connect(auth_, &AuthManager::signOutFailed, this, &AppModel::setErrorMessage);
    if (options.startPolling)
        startPolling();
    else
        recheckReadiness();
}

bool AppModel::notificationsPaused() const { return quiet_->isPaused(); }

QDateTime AppModel::pausedUntil() const { return quiet_->pausedUntil(); }

QFuture<void> AppModel::recheckReadiness() {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    readReadiness([this, promise](const Readiness* ready) {
        if (ready)
            applyReadiness(*ready);
        promise->finish();
    });
    return promise->future();
}

void AppModel::startSession() {
    // Whatever runs now was asked for by the previous session: it publishes nothing more, not even
    // its failure ("not signed in" after a sign-out).
    for (const auto& run : running_)
        abandon(run);
    for (std::size_t i = 0; i < lists_.size(); ++i)
        publishList(i, {});
    setStale(false);
    listSeq_.fill(refreshSeq_);
    outcomeSeq_ = refreshSeq_;
    if (!members_.empty()) {
        members_.clear();
        Q_EMIT membersChanged();
    }
    membersGroup_.clear();
    publishedQueue_.clear();
    if (lastRefresh_.isValid()) {
        lastRefresh_ = QDateTime();
        Q_EMIT lastRefreshChanged();
    }
    setErrorMessage(QString());
    cachedMe_.reset();
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
    if (const auto wait = limitWait())
        return sleep_->start(*wait);  // rate limited: the first poll is when the instance allows
    if (limitedUntil_) {
        limitedUntil_.reset();
        Q_EMIT freshnessChanged();
    }
    loopRun_ = startRefresh([this, loop] {
        if (loop != loop_)
            return;
        loopRun_.reset();
        // Read after every refresh, so a changed interval applies from the next sleep on. After a
        // rate limit, the next poll is as soon as the instance allows, so the lists are not left
        // stale for a whole interval.
        const auto wait = limitWait();
        sleep_->start(wait ? *wait : Config::pollMinutes() * minute_);
    });
}

QFuture<void> AppModel::refresh() {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    startRefresh([promise] { promise->finish(); });
    return promise->future();
}

void AppModel::lookUpMe(std::function<void(Outcome<SNUser>)> onDone) {
    // The user belongs to the session and to the instance and client it was looked up with.
    const auto key = std::to_string(auth_->session()) + '\n' + Config::instanceURL() + '\n' + Config::clientID();
    if (key != cachedMeKey_) {
        cachedMe_.reset();
        cachedMeKey_ = key;
    }
    if (cachedMe_)
        return onDone(Outcome<SNUser>{cachedMe_, nullptr});
    if (meLookup_ && meLookup_->key == key)
        return meLookup_->waiters.push_back(std::move(onDone));  // a lookup is already on its way
    auto lookup = std::make_shared<MeLookup>();
    lookup->key = key;
    lookup->waiters.push_back(std::move(onDone));
    meLookup_ = lookup;
    inBackground(pool_.get(), this, [] { return ServiceNowClient().currentUser(); }, [this, lookup](Outcome<SNUser> me) {
        if (meLookup_ == lookup)
            meLookup_.reset();
        if (me.value && lookup->key == cachedMeKey_)
            cachedMe_ = me.value;
        for (auto& waiter : lookup->waiters)
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
    auto failed = [this, promise, session = auth_->session()](const std::exception_ptr& error) {
        if (session == auth_->session())  // after a sign-out the failure is old news
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

void AppModel::publishList(std::size_t index, TaskList tasks, const ListSize& size, const ListSize& unassigned) {
    const bool group = index == 1;
    if (lists_[index] == tasks && sizes_[index] == size && (!group || unassigned_ == unassigned))
        return;  // the same tasks: nothing for the views to redraw
    lists_[index] = std::move(tasks);
    sizes_[index] = size;
    if (group)
        unassigned_ = unassigned;
    switch (index) {
    case 0: Q_EMIT myTasksChanged(); break;
    case 1: Q_EMIT groupTasksChanged(); break;
    case 2: Q_EMIT doneThisMonthChanged(); break;
    default: Q_EMIT doneLastMonthChanged(); break;
    }
}

void AppModel::setErrorMessage(const QString& message) {
    if (errorMessage_ == message && errorMessage_.isNull() == message.isNull())
        return;
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

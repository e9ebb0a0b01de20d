// The refresh cycle of AppModel: sign-in check, four concurrent list fetches collected in a fixed
// order, the member list, the outcome and the change notifications.

#include <atomic>

#include "core/auth/token_store.h"
#include "core/servicenow/service_now_client.h"
#include "core/servicenow/watcher_queries.h"
#include "core/settings/config.h"
#include "desktop/models/app_model.h"
#include "desktop/models/auth_manager.h"
#include "desktop/models/change_notifications.h"
#include "desktop/models/quiet_hours.h"
#include "desktop/models/session_end.h"

namespace trayline {

namespace {

constexpr int kRowLimit = 100;

// The query of list `index` (myTasks, groupTasks, doneThisMonth, doneLastMonth), read from the
// settings when the fetch starts.
std::string queryOf(std::size_t index) {
    switch (index) {
    case 0: return queries::myTasks();
    case 1: return queries::groupQueue();
    case 2: return queries::closedThisMonth();
    default: return queries::closedLastMonth();
    }
}

}  // namespace

namespace {

struct FetchedList {
    TaskList tasks;
    ListSize size;
    ListSize unassigned;  // the group queue only
};

// One list as the panel and the tray count it: its rows, sorted, and its length on the instance;
// for the group queue also its unassigned part, which the instance counts when the rows are not
// the whole queue (one more request, only for a queue longer than its rows).
FetchedList fetchList(const ServiceNowClient& client, std::size_t index) {
    auto page = client.fetchTaskPage(queryOf(index), kRowLimit);
    if (index < 2)
        sortNewestFirst(page.tasks);
    else
        sortLatestClosedFirst(page.tasks);
    FetchedList f;
    f.size = ListSize{rowCount(page.tasks), page.total, static_cast<int>(page.tasks.size()) >= kRowLimit};
    if (index == 1) {
        f.unassigned.rows = unassignedCount(page.tasks);
        if (f.size.truncated()) {
            f.unassigned.total = client.countTasks(queries::unassignedInGroupQueue());
            f.unassigned.full = !f.unassigned.total;
        }
    }
    f.tasks = std::move(page.tasks);
    return f;
}

}  // namespace

struct AppModel::Readiness {
    bool signedIn = false;
    bool configured = false;
    std::string queue;  // instance URL and group: which queue the lists show
    std::uint64_t tokenGeneration = 0;  // of the stored tokens, before they were read
};

struct AppModel::Run {
    std::uint64_t seq = 0;
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    bool abandoned = false;  // its loop was restarted: it publishes nothing more
    bool counted = false;    // holds one count of activeRefreshes_
    bool notifies = false;   // the lists it replaces came from the same queue
    bool quietAtStart = false;  // notifications were paused when it began
    std::string queue;
    bool failed = false;
    std::exception_ptr error;
    int pending = 0;         // fetches not yet returned
    std::size_t next = 0;    // the next list to collect
    std::array<std::optional<Outcome<FetchedList>>, 4> results;
    // For myTasks and groupTasks, when this refresh published them: the ids the list held just
    // before, and what it published. The notifications compare exactly these.
    std::array<std::optional<IdSet>, 2> previous;
    std::array<TaskList, 2> published;
    std::function<void()> onEnd;
};

AppModel::~AppModel() {
    // Outcomes still on their way are dropped with this object; cancelling lets their requests
    // end now rather than at their time-outs.
    for (const auto& run : running_)
        run->stop->store(true);
}

AppModel::RunPtr AppModel::startRefresh(std::function<void()> onEnd) {
    auto run = std::make_shared<Run>();
    run->seq = ++refreshSeq_;
    run->onEnd = std::move(onEnd);
    run->quietAtStart = quiet_->reload();
    running_.push_back(run);
    if (limitWait()) {
        // The instance asked for quiet: nothing is sent, and the panel says when the next try is.
        setErrorMessage(QStringLiteral("Not refreshed: the instance limits requests. ") + nextTryText());
        QMetaObject::invokeMethod(this, [this, run] { end(run); }, Qt::QueuedConnection);
        return run;
    }
    readReadiness([this, run](const Readiness* ready) {
        if (run->abandoned || !ready)
            return end(run);
        applyReadiness(*ready);
        if (!ready->signedIn || !ready->configured)
            return end(run);
        run->counted = true;
        setRefreshing(+1);
        run->queue = ready->queue;
        if (membersGroup_ != run->queue) {  // another group: its members, not the old ones
            membersGroup_ = run->queue;
            if (!members_.empty()) {
                members_.clear();
                Q_EMIT membersChanged();
            }
        }
        run->notifies = lastRefresh_.isValid() && publishedQueue_ == run->queue;
        beginFetches(run);
    });
    return run;
}

void AppModel::readReadiness(std::function<void(const Readiness*)> onAnswer) {
    // Both reads may touch the keyring, which can take a while to answer: not on this thread.
    inBackground(
        pool_.get(), this,
        [tokens = &auth_->tokens()] {
            Readiness r;
            r.tokenGeneration = tokens->generation();
            r.signedIn = tokens->read().has_value();
            r.configured = Config::isConfigured(tokens->keychain());
            r.queue = Config::instanceURL() + '\n' + Config::groupSysID();
            return r;
        },
        [this, session = auth_->session(), onAnswer = std::move(onAnswer)](Outcome<Readiness> ready) {
            // A sign-in or sign-out since the read began makes its answer stale.
            if (!ready.value || session != auth_->session())
                return onAnswer(nullptr);
            if (ready.value->tokenGeneration < auth_->clearedGeneration())
                ready.value->signedIn = false;  // read before the sign-out's clear went through
            onAnswer(&*ready.value);
        });
}

void AppModel::applyReadiness(const Readiness& ready) {
    if (ready_ && auth_->isSignedIn() && !ready.signedIn)
        loseSession();  // the tokens went away (the MCP server's refresh was refused, or by hand)
    else
        auth_->setSignedIn(ready.signedIn);
    if (configured_ != ready.configured) {
        configured_ = ready.configured;
        Q_EMIT isConfiguredChanged();
    }
    if (!ready_) {
        ready_ = true;
        Q_EMIT isReadyChanged();
    }
}

void AppModel::beginFetches(const RunPtr& run) {
    for (std::size_t i = 0; i < run->results.size(); ++i) {
        ++run->pending;
        inBackground(
            pool_.get(), this,
            [stop = run->stop, tokens = &auth_->tokens(), i] {
                try {
                    return fetchList(ServiceNowClient(stop.get()), i);
                } catch (...) {
                    rethrowEndingSession(*tokens);
                }
            },
            [this, run, i](Outcome<FetchedList> outcome) {
                run->results[i] = std::move(outcome);
                --run->pending;
                collect(run);
            });
    }
}

void AppModel::collect(const RunPtr& run) {
    if (run->abandoned) {
        if (run->pending == 0)
            end(run);
        return;
    }
    while (!run->failed && run->next < run->results.size() && run->results[run->next]) {
        const std::size_t i = run->next++;
        auto& outcome = *run->results[i];
        if (outcome.error) {
            // The lists not yet collected are cancelled; the refresh ends once they have returned.
            run->failed = true;
            run->error = outcome.error;
            run->stop->store(true);
            break;
        }
        if (run->seq > listSeq_[i]) {  // never over a newer refresh's list
            listSeq_[i] = run->seq;
            if (i < 2) {
                run->previous[i] = idsOf(lists_[i]);
                run->published[i] = outcome.value->tasks;
            }
            if (i == 1)
                publishedQueue_ = run->queue;
            publishList(i, std::move(outcome.value->tasks), outcome.value->size, outcome.value->unassigned);
        }
        outcome.value.reset();
    }
    if (run->failed) {
        if (run->pending == 0)
            fail(run);
    } else if (run->next == run->results.size()) {
        fetchMembers(run);
    }
}

void AppModel::fetchMembers(const RunPtr& run) {
    if (!members_.empty())
        return succeed(run);
    inBackground(
        pool_.get(), this, [stop = run->stop] { return ServiceNowClient(stop.get()).groupMembers(); },
        [this, run](Outcome<UserList> outcome) {
            if (run->abandoned)
                return end(run);
            if (outcome.error)
                noteRetryAfter(outcome.error);  // otherwise unreported, but the wait holds
            // A failure leaves the list empty, unreported, so the next refresh tries again. A list
            // another refresh loaded meanwhile is kept either way, and so is the emptiness a
            // change of group caused since this fetch began.
            if (members_.empty() && membersGroup_ == run->queue && outcome.value && !outcome.value->empty()) {
                members_ = std::move(*outcome.value);
                Q_EMIT membersChanged();
            }
            succeed(run);
        });
}

void AppModel::succeed(const RunPtr& run) {
    if (run->seq >= outcomeSeq_) {
        outcomeSeq_ = run->seq;
        const auto now = QDateTime::currentDateTimeUtc();
        if (!lastRefresh_.isValid() || now > lastRefresh_)
            lastRefresh_ = now;
        Q_EMIT lastRefreshChanged();
        setErrorMessage(QString());
        setStale(false);
    }
    // Arrivals seen by a refresh that overlapped a pause came during it: they stay unannounced.
    const bool quiet = quiet_->reload() || run->quietAtStart;
    if (run->notifies && notifier_ && !quiet) {
        static const TaskList none;
        static const IdSet noIds;
        notifyChanges(run->previous[0] ? run->published[0] : none, run->previous[0].value_or(noIds),
                      run->previous[1] ? run->published[1] : none, run->previous[1].value_or(noIds),
                      *notifier_);
    }
    end(run);
}

void AppModel::fail(const RunPtr& run) {
    if (endsSession(run->error)) {
        loseSession();  // empties the lists and abandons every refresh, this one included
        return end(run);
    }
    const bool limited = noteRetryAfter(run->error);
    if (run->seq >= outcomeSeq_) {  // an older attempt's error would misreport a newer outcome
        outcomeSeq_ = run->seq;
        setErrorMessage(limited ? errorText(run->error) + QLatin1Char(' ') + nextTryText() : errorText(run->error));
        setStale(true);
    }
    end(run);
}

void AppModel::end(const RunPtr& run) {
    std::erase(running_, run);
    if (run->counted) {
        run->counted = false;
        setRefreshing(-1);
    }
    auto onEnd = std::move(run->onEnd);
    run->onEnd = nullptr;
    Q_EMIT refreshFinished();
    if (onEnd)
        onEnd();
}

void AppModel::abandon(const RunPtr& run) {
    run->abandoned = true;
    run->stop->store(true);
    if (run->counted) {
        run->counted = false;
        setRefreshing(-1);
    }
}

}  // namespace trayline

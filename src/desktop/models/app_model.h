#pragma once

// The queue model behind the tray: four task lists and the group's members, kept current by a
// polling loop, with the outcome of the last refresh. Lives on the main thread; every request runs
// on the thread pool and only its result is applied here.
//
// Overlapping refreshes: each refresh takes a sequence number when it starts. A list is published
// only by a refresh newer than the one that last published it, and the outcome (lastRefresh,
// errorMessage) likewise, so a slow older refresh never overwrites a newer one's results. A
// refresh whose polling loop was restarted is abandoned: its requests are cancelled and it
// publishes nothing, not even an error. Change notifications compare each list with what it held
// just before this refresh replaced it, so two refreshes finishing close together announce every
// arrival once.
//
// No stale state: a sign-out abandons every refresh under way and empties the lists; the signed-in
// user looked up for "Assign to me" is dropped when the session, the instance or the client changes;
// the members are fetched again when the group changes; and the first refresh of another instance
// or group sets a new notification baseline instead of announcing the whole queue.
//
// Nothing here reads the keyring on the main thread: whether the user is signed in and whether the
// settings are complete (the client secret is in the keyring) are read on a worker at every refresh;
// isReady turns true when the first such read has answered.
//
// Quiet hours: while notifications are paused (before or after a refresh), that refresh announces
// nothing; its lists are still published, so the baseline moves on and nothing that arrived during
// the pause is announced after it.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDateTime>
#include <QFuture>
#include <QObject>
#include <QString>

#include "core/auth/sign_in.h"
#include "core/platform/time.h"
#include "desktop/models/auth_manager.h"
#include "desktop/models/background.h"
#include "desktop/models/task_order.h"

namespace trayline {

class BootTimer;
class Notifier;
class QuietHours;
class SettingsModel;
class TaskActions;

class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(trayline::TaskList myTasks READ myTasks NOTIFY myTasksChanged)
    Q_PROPERTY(trayline::TaskList groupTasks READ groupTasks NOTIFY groupTasksChanged)
    Q_PROPERTY(trayline::TaskList doneThisMonth READ doneThisMonth NOTIFY doneThisMonthChanged)
    Q_PROPERTY(trayline::TaskList doneLastMonth READ doneLastMonth NOTIFY doneLastMonthChanged)
    Q_PROPERTY(trayline::UserList members READ members NOTIFY membersChanged)
    Q_PROPERTY(QDateTime lastRefresh READ lastRefresh NOTIFY lastRefreshChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(bool isRefreshing READ isRefreshing NOTIFY isRefreshingChanged)
    Q_PROPERTY(int unassignedCount READ unassignedCount NOTIFY groupTasksChanged)
    Q_PROPERTY(bool isConfigured READ isConfigured NOTIFY isConfiguredChanged)
    Q_PROPERTY(bool isReady READ isReady NOTIFY isReadyChanged)
    Q_PROPERTY(trayline::AuthManager* auth READ auth CONSTANT)
    Q_PROPERTY(bool notificationsPaused READ notificationsPaused NOTIFY notificationsPausedChanged)
    Q_PROPERTY(QDateTime pausedUntil READ pausedUntil NOTIFY notificationsPausedChanged)
    Q_PROPERTY(bool isStale READ isStale NOTIFY freshnessChanged)
    Q_PROPERTY(QDateTime limitedUntil READ limitedUntil NOTIFY freshnessChanged)

public:
    struct Options {
        Notifier* notifier = nullptr;  // not owned; none: no notifications
        // Length of one "minute" of the poll interval; tests shorten it.
        std::chrono::milliseconds minute = std::chrono::minutes(1);
        SignInFlow::Options signIn;    // for the owned AuthManager
        bool startPolling = true;      // the constructor starts the loop
        // The wall clock that pauses of notifications are measured on; tests set their own.
        std::function<Instant()> clock = [] { return std::chrono::system_clock::now(); };
    };

    explicit AppModel(Options options, QObject* parent = nullptr);
    ~AppModel() override;

    const TaskList& myTasks() const { return lists_[0]; }
    const TaskList& groupTasks() const { return lists_[1]; }
    const TaskList& doneThisMonth() const { return lists_[2]; }
    const TaskList& doneLastMonth() const { return lists_[3]; }
    const UserList& members() const { return members_; }
    QDateTime lastRefresh() const { return lastRefresh_; }     // invalid until the first success
    QString errorMessage() const { return errorMessage_; }     // null when there is none
    // True while any refresh past its sign-in check runs, not only until the first of several ends.
    bool isRefreshing() const { return activeRefreshes_ > 0; }
    // List `index` (myTasks, groupTasks, doneThisMonth, doneLastMonth): its rows beside its length on
    // the instance, which is what the chips and the tray count.
    const ListSize& listSize(std::size_t index) const { return sizes_[index]; }
    // The unassigned part of the group queue; counted by the instance when the queue has more tasks
    // than rows fetched. Tasks whose assignee the instance hides are not in it.
    const ListSize& unassignedSize() const { return unassigned_; }
    int unassignedCount() const { return static_cast<int>(unassigned_.count()); }
    // The last refresh failed: the lists are an earlier refresh's.
    bool isStale() const { return stale_; }
    // The instance asked for no requests before this (a rate limit); invalid once it has passed.
    QDateTime limitedUntil() const;
    bool isLimited() const { return limitedUntil().isValid(); }
    // Instance URL, client ID and client secret all set, as last read (false until isReady).
    bool isConfigured() const { return configured_; }
    // The sign-in state and isConfigured have been read once.
    bool isReady() const { return ready_; }
    AuthManager* auth() const { return auth_; }
    // The long-lived actions of the assign and close sheets, and the settings store.
    TaskActions* actions() const { return actions_; }
    SettingsModel* settings() const { return settings_; }
    // The pause of notifications: its choices, and an error when one could not be stored.
    QuietHours* quietHours() const { return quiet_; }
    bool notificationsPaused() const;
    // When the pause ends by itself; invalid while it lasts until resumed, or when not paused.
    QDateTime pausedUntil() const;

    // Cancels the running loop, refreshes at once, then every Config::pollMinutes() minutes.
    void startPolling();
    // One refresh cycle; the future finishes when it has ended. Never fails: errors land in
    // errorMessage.
    QFuture<void> refresh();
    // The signed-in user, looked up once in the model's life (concurrent callers share a lookup).
    QFuture<SNUser> currentUser();
    // Assigns the task to the signed-in user, then refreshes; a failure sets
    // "Assign failed: …". Never fails.
    QFuture<void> assignToMe(const SNTask& task);
    // Reads the sign-in state and isConfigured again (after the settings were saved).
    QFuture<void> recheckReadiness();

Q_SIGNALS:
    void myTasksChanged();
    void groupTasksChanged();
    void doneThisMonthChanged();
    void doneLastMonthChanged();
    void membersChanged();
    void lastRefreshChanged();
    void errorMessageChanged();
    void isRefreshingChanged();
    void isConfiguredChanged();
    void isReadyChanged();
    void notificationsPausedChanged();
    // A refresh cycle ended (also one that stopped at the sign-in check).
    void refreshFinished();
    // isStale or limitedUntil changed.
    void freshnessChanged();
    // The session ended without a sign-out: a refused token refresh, a token the instance rejects
    // after a fresh one, or the stored tokens gone. The lists are already empty.
    void sessionLost();

private:
    struct Run;
    using RunPtr = std::shared_ptr<Run>;
    struct Readiness;

    RunPtr startRefresh(std::function<void()> onEnd);
    void beginFetches(const RunPtr& run);
    void collect(const RunPtr& run);
    void fetchMembers(const RunPtr& run);
    void succeed(const RunPtr& run);
    void fail(const RunPtr& run);
    void end(const RunPtr& run);
    void abandon(const RunPtr& run);
    // For the group queue (index 1), `unassigned` is its unassigned part; one signal for both.
    void publishList(std::size_t index, TaskList tasks, const ListSize& size = {}, const ListSize& unassigned = {});
    void setStale(bool stale);
    // After a failure: the instance's wait, if it named one. Returns whether it did.
    bool noteRetryAfter(const std::exception_ptr& error);
    // How long until requests may go again; none when they may now.
    std::optional<std::chrono::milliseconds> limitWait() const;
    QString nextTryText() const;
    void loseSession();
    void setErrorMessage(const QString& message);
    void setRefreshing(int delta);
    void pollTick(std::uint64_t loop);
    void lookUpMe(std::function<void(Outcome<SNUser>)> onDone);
    void readReadiness(std::function<void(const Readiness*)> onAnswer);
    void applyReadiness(const Readiness& ready);
    void startSession();

    AuthManager* auth_;
    Notifier* notifier_;
    std::chrono::milliseconds minute_;
    BootTimer* sleep_;

    std::array<TaskList, 4> lists_;
    std::array<ListSize, 4> sizes_;
    ListSize unassigned_;
    bool stale_ = false;
    std::optional<Instant> limitedUntil_;
    std::string limitNote_;  // why the wait is not the instance's own, when it is not
    std::function<Instant()> clock_;
    UserList members_;
    QDateTime lastRefresh_;
    QString errorMessage_;
    int activeRefreshes_ = 0;

    std::uint64_t refreshSeq_ = 0;
    std::array<std::uint64_t, 4> listSeq_{};
    std::uint64_t outcomeSeq_ = 0;
    std::vector<RunPtr> running_;

    std::uint64_t loop_ = 0;  // the current polling loop; bumped by startPolling()
    RunPtr loopRun_;          // that loop's refresh while it runs

    bool configured_ = false;
    bool ready_ = false;
    std::string membersGroup_;    // instance + group the members belong to
    std::string publishedQueue_;  // instance + group the published lists came from

    std::optional<SNUser> cachedMe_;
    std::string cachedMeKey_;  // session, instance and client the cached user belongs to
    struct MeLookup {
        std::string key;
        std::vector<std::function<void(Outcome<SNUser>)>> waiters;
    };
    std::shared_ptr<MeLookup> meLookup_;  // the lookup on its way
    TaskActions* actions_ = nullptr;
    SettingsModel* settings_ = nullptr;
    QuietHours* quiet_ = nullptr;
    // Last member: jobs still queued are dropped after the destructor has cancelled the running ones.
    WorkerPool pool_{8};  // four list fetches, members and an assignment, with room for overlap
};

}  // namespace trayline

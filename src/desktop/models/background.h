#pragma once

// Blocking core calls run on the thread pool; their outcome comes back to the main thread, and only
// while the receiving object still exists.

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <QFuture>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace trayline {

// A value, or the exception that took its place. Exceptions stay inside the outcome so that
// the error types and texts of the core reach the main thread unchanged.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
};

struct Done {};  // the value of work that returns nothing

// The user-facing text of an exception: what() for everything derived from std::exception.
inline QString errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

// The threads a model's blocking calls run on. Its own pool rather than the process-wide one, whose
// size is the number of cores: four list fetches must really run at once on a two-core machine.
//
// The pool is never destroyed and never waited for. Its owner cancels its requests when it goes; a
// worker still busy then (a keyring call, a request between two cancellation checks) finishes on its
// own, touching only what its job owns, and its outcome is dropped with the owner. Waiting here would
// hold up the GUI thread; destroying the pool would leave such a worker without its thread.
class WorkerPool {
public:
    explicit WorkerPool(int maxThreads) : pool_(new QThreadPool) {
        pool_->setMaxThreadCount(maxThreads);
        pool_->setExpiryTimeout(10000);
    }
    ~WorkerPool() { pool_->clear(); }  // jobs not yet started never start
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    QThreadPool* get() const { return pool_; }

private:
    QThreadPool* pool_;
};

// Jobs handed to any WorkerPool that have not finished yet, for an orderly end of the process.
std::atomic<int>& runningJobs();
// Waits (on the calling thread) until no job runs or `timeoutMs` passed; true when none runs. For
// tests.
bool waitForJobs(int timeoutMs);

// A job that stores something the user asked for (a sign-out's clear, saved settings) captures one
// of these, from when it is queued until it has run, so that quitting right after does not lose it.
struct PendingWrite {
    PendingWrite();
    ~PendingWrite();
    PendingWrite(const PendingWrite&) = delete;
    PendingWrite& operator=(const PendingWrite&) = delete;
};
inline std::shared_ptr<PendingWrite> pendingWrite() { return std::make_shared<PendingWrite>(); }
// Waits until no such write is pending or `timeoutMs` passed; true when none is. For the moment
// after the event loop has ended, when the window is already gone.
bool waitForWrites(int timeoutMs);

// The value type a job's outcome carries: its result, or Done for a job that returns nothing.
template <class Work>
using ValueOf = std::conditional_t<std::is_void_v<std::invoke_result_t<Work&>>, Done, std::invoke_result_t<Work&>>;

template <class Work>
auto runOutcome(QThreadPool* pool, Work work) {
    using R = std::invoke_result_t<Work&>;
    using T = ValueOf<Work>;
    // Counted until the job has run, or has been dropped from the queue without running.
    struct Counted {
        Counted() { runningJobs().fetch_add(1); }
        ~Counted() { runningJobs().fetch_sub(1); }
    };
    return QtConcurrent::run(pool, [work = std::move(work), counted = std::make_shared<Counted>()]() mutable -> Outcome<T> {
        try {
            if constexpr (std::is_void_v<R>) {
                work();
                return {Done{}, nullptr};
            } else {
                return {work(), nullptr};
            }
        } catch (...) {
            return {std::nullopt, std::current_exception()};
        }
    });
}

// Runs `work` on the pool and then `onDone(Outcome<T>)` on `context`'s thread; `onDone` is
// dropped when `context` is destroyed first. `onDone` always runs from the event loop, never
// inside this call: a job that finished at once would otherwise apply its outcome before the
// caller has returned (a sign-in failing before signIn() hands out its future).
template <class Work, class OnDone>
void inBackground(QThreadPool* pool, QObject* context, Work work, OnDone onDone) {
    using T = Outcome<ValueOf<Work>>;
    runOutcome(pool, std::move(work)).then(context, [context, onDone = std::move(onDone)](T outcome) mutable {
        // Here on context's thread with context alive; the posted call is dropped if it goes first.
        QMetaObject::invokeMethod(
            context,
            [onDone = std::move(onDone), outcome = std::move(outcome)]() mutable { onDone(std::move(outcome)); },
            Qt::QueuedConnection);
    });
}

}  // namespace trayline

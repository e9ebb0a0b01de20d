#pragma once

// Blocking core calls run on the thread pool; their outcome comes back to the main thread, and only
// while the receiving object still exists.

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
class WorkerPool {
public:
    explicit WorkerPool(int maxThreads) : pool_(new QThreadPool) { pool_->setMaxThreadCount(maxThreads); }
    // Owners cancel their requests before this runs, so the threads normally end at once. One that
    // cannot be cancelled (a token request) is not waited for beyond a moment: the pool is then
    // left to finish on its own rather than hold up the main thread.
    ~WorkerPool() {
        pool_->clear();
        if (!pool_->waitForDone(2000))
            (void)pool_.release();
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    QThreadPool* get() const { return pool_.get(); }

private:
    std::unique_ptr<QThreadPool> pool_;
};

template <class Work>
auto runOutcome(QThreadPool* pool, Work work) {
    using R = std::invoke_result_t<Work&>;
    using T = std::conditional_t<std::is_void_v<R>, Done, R>;
    return QtConcurrent::run(pool, [work = std::move(work)]() mutable -> Outcome<T> {
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
// dropped when `context` is destroyed first.
template <class Work, class OnDone>
void inBackground(QThreadPool* pool, QObject* context, Work work, OnDone onDone) {
    runOutcome(pool, std::move(work)).then(context, std::move(onDone));
}

}  // namespace trayline

#pragma once

// A QCoreApplication for the whole test binary (offscreen), and waits that run the real event loop
// until a future or signal arrives.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFuture>
#include <QFutureWatcher>
#include <QSignalSpy>
#include <QTest>

#include "desktop/models/task_order.h"

namespace trayline::test {

void ensureQtApp();

// Runs the event loop until the future has finished (true) or `timeoutMs` passed (false).
template <class T>
bool await(QFuture<T> future, int timeoutMs = 15000) {
    if (future.isFinished())
        return true;
    QFutureWatcher<T> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<T>::finished);
    watcher.setFuture(future);
    return future.isFinished() || finished.wait(timeoutMs) || future.isFinished();
}

// Runs the event loop until `done()` holds (true) or `timeoutMs` passed (false).
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

std::vector<std::string> numbersOf(const TaskList& tasks);

}  // namespace trayline::test

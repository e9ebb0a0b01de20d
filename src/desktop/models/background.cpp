#include "desktop/models/background.h"

#include <QDeadlineTimer>
#include <QThread>

namespace trayline {

std::atomic<int>& runningJobs() {
    static std::atomic<int> count{0};
    return count;
}

namespace {

std::atomic<int>& pendingWrites() {
    static std::atomic<int> count{0};
    return count;
}

bool waitUntilZero(const std::atomic<int>& count, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (count.load() > 0) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

}  // namespace

bool waitForJobs(int timeoutMs) { return waitUntilZero(runningJobs(), timeoutMs); }

PendingWrite::PendingWrite() { pendingWrites().fetch_add(1); }
PendingWrite::~PendingWrite() { pendingWrites().fetch_sub(1); }

bool waitForWrites(int timeoutMs) { return waitUntilZero(pendingWrites(), timeoutMs); }

}  // namespace trayline

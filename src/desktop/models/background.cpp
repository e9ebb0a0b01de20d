#include "desktop/models/background.h"

#include <QDeadlineTimer>
#include <QThread>

namespace trayline {

std::atomic<int>& runningJobs() {
    static std::atomic<int> count{0};
    return count;
}

bool waitForJobs(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (runningJobs().load() > 0) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

}  // namespace trayline

// The queue model's refresh against the in-process demo instance: its duration when every request
// takes 200 ms, the connections a second refresh opens, and the memory of 4 x 100 loaded tasks.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFutureWatcher>

#include "core/auth/token_store.h"
#include "core/platform/atomic_file.h"
#include "core/platform/time.h"
#include "core/settings/config.h"
#include "bench_profile.h"
#include "bench_tasks.h"
#include "demo_instance.h"
#include "desktop/models/app_model.h"

using namespace trayline;
using namespace std::chrono;

namespace {

void wait(QFuture<void> future) {
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!future.isFinished())
        loop.exec();
}

double residentMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench::BenchProfile profile;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QCoreApplication app(argc, argv);

    demo::DemoInstance instance;
    instance.start();
    bench::BenchProfile::signIn(instance);
    bench::fillLists(instance);

    const double before = residentMiB();
    AppModel::Options options;
    options.startPolling = false;
    AppModel model(std::move(options));
    wait(model.refresh());  // loads members, opens the connections
    const double loaded = residentMiB();

    const auto opened = instance.acceptedConnections();
    wait(model.refresh());
    const auto newConnections = instance.acceptedConnections() - opened;

    instance.setLatency(milliseconds(200));
    std::vector<qint64> times;
    for (int i = 0; i < 7; ++i) {
        QElapsedTimer clock;
        clock.start();
        wait(model.refresh());
        times.push_back(clock.elapsed());
    }
    std::sort(times.begin(), times.end());

    const bool complete = model.myTasks().size() == 100 && model.groupTasks().size() == 100 &&
                          model.doneThisMonth().size() == 100 && model.doneLastMonth().size() == 100 &&
                          model.errorMessage().isNull();
    std::printf("refresh with 200 ms instance latency (median of 7): %lld ms (budget <= 300 ms)\n",
                static_cast<long long>(times[times.size() / 2]));
    std::printf("new TCP connections on a second refresh within keep-alive: %zu (budget 0)\n",
                newConnections);
    std::printf("resident memory with 4 x 100 tasks loaded: %.1f MiB for the process, of which the model "
                "adds %.1f MiB (budget <= 60 MiB; the process includes the demo instance)\n",
                loaded, loaded - before);
    if (!complete)
        std::printf("WARNING: lists not complete (%zu/%zu/%zu/%zu) %s\n", model.myTasks().size(),
                    model.groupTasks().size(), model.doneThisMonth().size(), model.doneLastMonth().size(),
                    model.errorMessage().toStdString().c_str());
    return complete ? 0 : 1;
}

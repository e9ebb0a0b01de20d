// Four concurrent list fetches against the demo instance answering each request after 50 ms:
// the round should take about one latency, and later rounds should reuse the open connections.

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <vector>

#include "core/servicenow/service_now_client.h"
#include "core/servicenow/watcher_queries.h"
#include "core/settings/config.h"
#include "bench_profile.h"
#include "demo_instance.h"

using namespace trayline;
using Clock = std::chrono::steady_clock;

namespace {

double fetchRoundMs() {
    const auto start = Clock::now();
    std::vector<std::future<std::size_t>> fetches;
    for (const auto& query : {queries::myTasks(), queries::groupQueue(), queries::closedThisMonth(),
                              queries::closedLastMonth()})
        fetches.push_back(std::async(std::launch::async, [query] {
            return ServiceNowClient().fetchTasks(query, 100).size();
        }));
    for (auto& f : fetches)
        f.get();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
    bench::BenchProfile profile;
    demo::DemoInstance instance;
    instance.start();
    bench::BenchProfile::signIn(instance);

    const auto kLatency = std::chrono::milliseconds(std::getenv("LATENCY_MS") ? std::atoi(std::getenv("LATENCY_MS")) : 50);
    instance.setLatency(kLatency);
    fetchRoundMs();  // opens the connections
    std::vector<double> rounds;
    const auto connectionsBefore = instance.acceptedConnections();
    for (int i = 0; i < 15; ++i)
        rounds.push_back(fetchRoundMs());
    const auto newConnections = instance.acceptedConnections() - connectionsBefore;
    std::sort(rounds.begin(), rounds.end());

    std::printf("four concurrent fetchTasks, instance latency %lld ms: median %.1f ms over %zu rounds "
                "(one latency ~ %lld ms; four in a row would be ~ %lld ms)\n",
                static_cast<long long>(kLatency.count()), rounds[rounds.size() / 2], rounds.size(),
                static_cast<long long>(kLatency.count()), static_cast<long long>(4 * kLatency.count()));
    std::printf("new TCP connections opened by later rounds within keep-alive: %zu (budget 0)\n",
                newConnections);
    instance.stop();
    return 0;
}

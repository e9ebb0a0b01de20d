// Decoding a realistic 100-task reply and deriving every value the panel and the copy action show.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/servicenow/sn_user.h"
#include "core/settings/config.h"

namespace {

// A 100-task reply made from the fixture task, every task with its own ids, dates and texts.
std::string hundredTaskReply() {
    std::ifstream in(TRAYLINE_FIXTURES "/task_reply.json");
    std::stringstream s;
    s << in.rdbuf();
    const auto one = nlohmann::json::parse(s.str())["result"][0];
    nlohmann::json result = nlohmann::json::array();
    for (int i = 0; i < 100; ++i) {
        auto t = one;
        char id[33];
        std::snprintf(id, sizeof id, "%032x", i + 1);
        t["sys_id"] = {{"value", id}, {"display_value", id}};
        t["number"]["display_value"] = "SCTASK00" + std::to_string(10000 + i);
        t["opened_at"]["value"] = "2025-03-" + std::string(i % 28 < 9 ? "0" : "") +
                                  std::to_string(i % 28 + 1) + " 08:00:00";
        t["request_item.short_description"]["display_value"] = "Request number " + std::to_string(i);
        if (i % 3 == 0)
            t["assigned_to"] = {{"value", "6b5a4d3c2b1a0f9e8d7c6b5a4d3c2b1a"}, {"display_value", "Ann Lee"}};
        result.push_back(std::move(t));
    }
    return nlohmann::json{{"result", result}}.dump();
}

void BM_DecodeSortAndDerive100Tasks(benchmark::State& state) {
    const auto body = hundredTaskReply();
    const trayline::DateFormatter dates("en_US", "America/New_York");
    for (auto _ : state) {
        auto tasks = trayline::decodeTaskList(body);
        std::stable_sort(tasks.begin(), tasks.end(), [](const auto& a, const auto& b) {
            return trayline::parseUtc(a.openedAt.value) > trayline::parseUtc(b.openedAt.value);
        });
        std::size_t total = 0;
        for (const auto& t : tasks) {
            total += t.effectiveShortDescription().size() + t.effectiveCaller().size() +
                     t.primaryNumber().size() + t.primaryURL().value_or("").size() +
                     t.clipboardText(dates).size();
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetLabel(std::to_string(body.size() / 1024) + " KiB reply");
}
BENCHMARK(BM_DecodeSortAndDerive100Tasks)->Unit(benchmark::kMicrosecond)->Repetitions(15)
    ->ReportAggregatesOnly(true);

void BM_DecodeAndSort100Tasks(benchmark::State& state) {
    const auto body = hundredTaskReply();
    for (auto _ : state) {
        auto tasks = trayline::decodeTaskList(body);
        std::stable_sort(tasks.begin(), tasks.end(), [](const auto& a, const auto& b) {
            return trayline::parseUtc(a.openedAt.value) > trayline::parseUtc(b.openedAt.value);
        });
        benchmark::DoNotOptimize(tasks);
    }
}
BENCHMARK(BM_DecodeAndSort100Tasks)->Unit(benchmark::kMicrosecond)->Repetitions(15)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    // Settings come from a private, empty profile: the figures never depend on the user's files.
    char dir[] = "/tmp/trayline-bench-XXXXXX";
    if (!::mkdtemp(dir))
        return 1;
    ::setenv("XDG_CONFIG_HOME", dir, 1);
    trayline::Config::setInstanceURL("https://acme.service-now.com");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(dir);
    return 0;
}

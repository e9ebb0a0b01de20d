// Whole-process figures of `trayline --mcp`: cold start to the initialize reply, resident memory
// after 100 list_my_tasks calls, and the server's own share of a tool call (the call's time minus
// the time the instance needs for the same request sent directly).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/auth/token_store.h"
#include "core/platform/http.h"
#include "core/servicenow/watcher_queries.h"
#include "core/servicenow/sn_task.h"
#include "core/platform/text.h"
#include "core/settings/config.h"
#include "demo_instance.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace trayline;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// One running `trayline --mcp` with a line-oriented conversation over pipes.
class Server {
public:
    explicit Server(const char* mode = "--mcp", std::string binary = TRAYLINE_BINARY) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC))
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string arg1 = mode;
        char* argv[] = {binary.data(), arg1.data(), nullptr};
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, environ) != 0)
            throw std::runtime_error("spawn");
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Server() {
        ::close(in_);
        int status;
        ::waitpid(pid_, &status, 0);
        ::close(out_);
    }
    std::string ask(const std::string& line) {
        const std::string data = line + "\n";
        if (::write(in_, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            throw std::runtime_error("write");
        std::string reply;
        char buffer[65536];
        for (;;) {
            if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
                reply = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return reply;
            }
            const auto n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0)
                throw std::runtime_error("server ended");
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    // CPU time the process has used so far (user + system), in milliseconds.
    double cpuMs() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Fields after the command name (which may hold spaces) start at the last ')'.
        std::istringstream fields(all.substr(all.rfind(')') + 2));
        std::string field;
        long ticks[2] = {0, 0};
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i == 14 || i == 15)
                ticks[i - 14] = std::stol(field);
        return 1000.0 * static_cast<double>(ticks[0] + ticks[1]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    // Threads of the process right now.
    long threads() const { return statusKiB("Threads"); }
    // A "Vm..."/"Rss..." line of /proc/PID/status, in KiB.
    long statusKiB(const std::string& key) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with(key + ":"))
                return std::stol(line.substr(key.size() + 1));
        return -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string pending_;
};

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})";
const std::string kListMyTasks =
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"list_my_tasks"}})";

// A private profile signed in to an in-process demo instance, inherited by the server processes.
void prepareProfile(demo::DemoInstance& instance) {
    const auto root = std::filesystem::temp_directory_path() / ("trayline-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "data" / "com.brindle.Trayline");
    ::chmod((root / "data" / "com.brindle.Trayline").c_str(), 0700);
    std::ofstream(root / "data" / "com.brindle.Trayline" / "keychain.json") << "{}";
    ::chmod((root / "data" / "com.brindle.Trayline" / "keychain.json").c_str(), 0600);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    Config::setInstanceURL(instance.baseUrl());
    Config::setClientID(demo::kClientId);
    Config::setClientSecret(demo::kClientSecret);
    Config::setGroupSysID(demo::kGroupSysId);
    const auto t = instance.issueTokens();
    TokenStore::shared().save(TokenSet{t.accessToken, t.refreshToken, std::chrono::system_clock::now() + std::chrono::hours(1)});
}

void report(const char* figure, double value, const char* unit, double budget) {
    std::printf("%-52s %9.2f %-4s (budget <= %g %s) %s\n", figure, value, unit, budget, unit,
                value <= budget ? "ok" : "OVER BUDGET");
}

}  // namespace

int main() {
    demo::DemoInstance instance;
    instance.start();
    prepareProfile(instance);

    std::vector<double> starts;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        Server server;
        server.ask(kInitialize);
        starts.push_back(ms(Clock::now() - t0));
    }

    // The floor under the first figure: the same executable loading its libraries and exiting at
    // once. A copy without the tray library beside it does that: its tray branch finds nothing
    // to load.
    char lonely[] = "/tmp/trayline-bench-bin-XXXXXX";
    if (!::mkdtemp(lonely))
        throw std::runtime_error("mkdtemp");
    const auto bare = std::filesystem::path(lonely) / "trayline";
    std::filesystem::copy_file(TRAYLINE_BINARY, bare);
    std::vector<double> floors;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        { Server floor("--no-mcp", bare.string()); }
        floors.push_back(ms(Clock::now() - t0));
    }
    std::filesystem::remove_all(lonely);

    Server server;
    server.ask(kInitialize);
    std::vector<double> calls;
    const double cpuBefore = server.cpuMs();
    for (int i = 0; i < 100; ++i) {
        const auto t0 = Clock::now();
        const auto reply = server.ask(kListMyTasks);
        calls.push_back(ms(Clock::now() - t0));
        if (reply.find("\"isError\":false") == std::string::npos)
            throw std::runtime_error("tool call failed: " + reply);
    }
    const double cpuPerCall = (server.cpuMs() - cpuBefore) / 100.0;
    const long threads = server.threads();
    const double rssMiB = static_cast<double>(server.statusKiB("VmRSS")) / 1024.0;
    const double anonMiB = static_cast<double>(server.statusKiB("RssAnon")) / 1024.0;
    const double fileMiB = static_cast<double>(server.statusKiB("RssFile")) / 1024.0;

    // The same request the tool sends, straight to the instance over a kept-alive connection.
    const auto token = TokenStore::load()->accessToken;
    http::Request direct;
    direct.url = instance.baseUrl() + "/api/now/table/sc_task?sysparm_query=" +
                 text::encodeQueryComponent(queries::myTasks()) +
                 "&sysparm_display_value=all&sysparm_exclude_reference_link=true&sysparm_limit=100&sysparm_fields=" +
                 text::encodeQueryComponent(SNTask::kFieldList);
    direct.headers = {{"Authorization", "Bearer " + token}, {"Accept", "application/json"}};
    std::vector<double> answers;
    for (int i = 0; i < 100; ++i) {
        const auto t0 = Clock::now();
        if (http::send(direct).status != 200)
            throw std::runtime_error("direct request failed");
        answers.push_back(ms(Clock::now() - t0));
    }

    std::printf("trayline --mcp (%s)\n", TRAYLINE_BINARY);
    report("process start -> initialize reply (median of 20)", median(starts), "ms", 15);
    std::printf("  (same executable, start -> exit without --mcp: median %.2f ms)\n", median(floors));
    report("resident memory after 100 list_my_tasks calls", rssMiB, "MiB", 20);
    std::printf("  (of which heap and stacks %.2f MiB, mapped libraries and ICU data %.2f MiB)\n", anonMiB, fileMiB);
    report("list_my_tasks call minus instance answer (medians)", median(calls) - median(answers), "ms", 2);
    std::printf("  (list_my_tasks median %.2f ms, direct request median %.2f ms)\n", median(calls), median(answers));
    std::printf("CPU per list_my_tasks call (user + system, mean of 100): %.2f ms; threads after the calls: %ld\n",
                cpuPerCall, threads);
    instance.stop();
    return 0;
}

// trayline-demo-instance: runs the ServiceNow look-alike until Ctrl-C or SIGTERM.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "demo_instance.h"

namespace {

const char* kUsage =
    "Usage: trayline-demo-instance [--port N] [--host H] [--auto-approve] [--control]\n"
    "                              [--token-lifetime S] [--data FILE] [--simulate MINUTES]\n"
    "                              [--dump-data] [--help]\n"
    "\n"
    "A ServiceNow look-alike on loopback for the Trayline demo and tests.\n"
    "  --port N            port to listen on (default 0: a free port)\n"
    "  --host H            loopback address to listen on (default 127.0.0.1)\n"
    "  --auto-approve      the authorize page redirects at once, without asking\n"
    "  --control           serve POST /__control (test controls)\n"
    "  --token-lifetime S  access-token lifetime in seconds (default 1800)\n"
    "  --data FILE         load this JSON data set instead of the built-in one\n"
    "  --simulate MINUTES  every MINUTES minutes a request arrives in the group queue,\n"
    "                      and now and then one is assigned to the demo user or closed\n"
    "  --dump-data         print the built-in data set (the --data format) and exit\n";

int parseInt(const std::string& flag, const char* text, int min) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!end || *end || v < min || v > 1000000000) {
        std::cerr << "trayline-demo-instance: " << flag << " needs a whole number of at least " << min << "\n";
        std::exit(2);
    }
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace trayline::demo;
    Options o;
    o.eventLog = [](const std::string& line) {
        std::cout << line << std::endl;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::cerr << "trayline-demo-instance: " << a << " needs a value\n" << kUsage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--port") o.port = parseInt(a, next(), 0);
        else if (a == "--host") o.host = next();
        else if (a == "--auto-approve") o.autoApprove = true;
        else if (a == "--control") o.control = true;
        else if (a == "--token-lifetime") o.tokenLifetimeSeconds = parseInt(a, next(), 1);
        else if (a == "--data") o.dataFile = next();
        else if (a == "--simulate") o.simulateMinutes = parseInt(a, next(), 1);
        else if (a == "--dump-data") {
            std::cout << builtinDataSet(std::chrono::system_clock::now()).dump(2) << std::endl;
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << "trayline-demo-instance: unknown argument " << a << "\n" << kUsage;
            return 2;
        }
    }

    // Block the stop signals in every thread; the main thread waits for them below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        DemoInstance instance(o);
        instance.start();
        std::cout << "Listening on " << instance.baseUrl() << std::endl;
        std::cout << "OAuth client ID:     " << kClientId << "\n"
                  << "OAuth client secret: " << kClientSecret << "\n"
                  << "Redirect URI:        " << kRedirectUri << "\n"
                  << "Demo user:           " << instance.demoUserName() << " (sys_id " << instance.demoUserSysId() << ")\n"
                  << "Assignment group:    " << kGroupName << " (sys_id " << kGroupSysId << ")\n";
        if (o.autoApprove) std::cout << "Sign-in is approved automatically.\n";
        if (o.control) std::cout << "Test controls: POST " << instance.baseUrl() << "/__control\n";
        if (o.simulateMinutes > 0) std::cout << "Simulating a live queue: a change every " << o.simulateMinutes << " min.\n";
        std::cout << "Press Ctrl-C to stop." << std::endl;
        int sig = 0;
        sigwait(&stopSignals, &sig);
        instance.stop();
        std::cout << "Stopped." << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "trayline-demo-instance: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

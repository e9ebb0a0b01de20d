// How the trayline executable finds (or misses) the tray library, and what an MCP run maps.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;

struct ProcessRun {
    int status = -1;
    std::string err;
};

// Runs `argv` with stdin closed, an extra environment, and collects standard error.
ProcessRun runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(errPipe[1], 2);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        for (const auto& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(errPipe[1]);
    ProcessRun run;
    char buffer[4096];
    for (ssize_t n; (n = ::read(errPipe[0], buffer, sizeof buffer)) > 0;)
        run.err.append(buffer, static_cast<std::size_t>(n));
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

TEST(TrayLibrary, McpRunMapsNoQtLibrary) {
    test::TempProfile profile;
    int in[2], err[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(err[1], 2);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execl(TRAYLINE_BINARY, TRAYLINE_BINARY, "--mcp", nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(err[1]);
    // Once the server says it is ready, everything it loads at start is mapped.
    std::string said;
    char buffer[512];
    while (said.find("ready") == std::string::npos) {
        pollfd p{err[0], POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, 10000), 0) << "no ready line; stderr: " << said;
        const auto n = ::read(err[0], buffer, sizeof buffer);
        ASSERT_GT(n, 0) << said;
        said.append(buffer, static_cast<std::size_t>(n));
    }
    std::ifstream mapsFile("/proc/" + std::to_string(pid) + "/maps");
    std::stringstream maps;
    maps << mapsFile.rdbuf();
    ::close(in[1]);  // end of input ends the server
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(err[0]);

    ASSERT_NE(maps.str().find("libc.so"), std::string::npos) << "maps not read";
    EXPECT_EQ(maps.str().find("libQt6"), std::string::npos) << maps.str();
    EXPECT_EQ(maps.str().find("libtrayline-tray"), std::string::npos);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(TrayLibrary, MissingLibraryIsAClearErrorNotACrash) {
    test::TempProfile scratch;
    const fs::path lone = scratch.root() / "bin" / "trayline";
    fs::create_directories(lone.parent_path());
    fs::copy_file(TRAYLINE_BINARY, lone);
    const ProcessRun run = runToEnd({lone.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the tray application"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("trayline --mcp"), std::string::npos) << run.err;
}

#ifdef TRAYLINE_TRAY_LIBRARY
TEST(TrayLibrary, WithoutAGraphicalSessionSaysSoAndPointsToTheMcpServer) {
    test::TempProfile scratch;
    // A bare name removes the variable (glibc putenv).
    const ProcessRun run = runToEnd({TRAYLINE_BINARY}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                                        "XDG_RUNTIME_DIR=" + scratch.root().string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("needs a graphical session"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("trayline --mcp"), std::string::npos) << run.err;
}

// The bundle layout: Contents/bin/trayline loads Contents/lib/libtrayline-tray.so. A platform
// plugin that does not exist stops the toolkit right after the library is in, with its own message.
TEST(TrayLibrary, BundleExecutableLoadsTheLibraryFromContentsLib) {
    test::TempProfile scratch;
    const fs::path contents = scratch.root() / "Trayline.app" / "Contents";
    fs::create_directories(contents / "bin");
    fs::create_directories(contents / "lib");
    fs::copy_file(TRAYLINE_BINARY, contents / "bin" / "trayline");
    fs::copy_file(TRAYLINE_TRAY_LIBRARY, contents / "lib" / "libtrayline-tray.so");
    const ProcessRun run = runToEnd({(contents / "bin" / "trayline").string()},
                             {"QT_QPA_PLATFORM=no-such-platform",
                              "XDG_RUNTIME_DIR=" + (scratch.root()).string()});
    EXPECT_EQ(run.err.find("cannot load the tray application"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("no-such-platform"), std::string::npos) << run.err;
}
#endif

}  // namespace
}  // namespace trayline

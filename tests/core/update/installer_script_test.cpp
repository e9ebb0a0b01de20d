#include "core/update/installer_script.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "core/platform/atomic_file.h"
#include "update_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;

TEST(InstallerScript, IsTheSwapScriptForTheGivenProcess) {
    EXPECT_EQ(installerScript(4242),
              "#!/bin/sh\n"
              "# $1 = freshly unpacked bundle, $2 = installed bundle to replace\n"
              "while kill -0 4242 2>/dev/null; do sleep 0.2; done\n"
              "/bin/rm -rf \"$2.old\"\n"
              "/bin/mv \"$2\" \"$2.old\" || exit 1\n"
              "if ! /bin/mv \"$1\" \"$2\"; then\n"
              "    /bin/mv \"$2.old\" \"$2\"\n"
              "    exit 1\n"
              "fi\n"
              "/bin/rm -rf \"$2.old\"\n"
              "setsid \"$2/Contents/bin/trayline\" >/dev/null 2>&1 &");
}

// Old and new bundles in a scratch directory whose path has spaces, the script run for real.
class InstallerRun : public ::testing::Test {
protected:
    void SetUp() override {
        test::makeBundle(installed, "1.0");
        test::makeBundle(fresh, "2.0");
        writeFileAtomically(script, installerScript(test::exitedProcessID()), 0700);
    }
    int run() { return test::runToCompletion({"/bin/sh", script.string(), fresh.string(), installed.string()}); }
    std::string installedVersion() { return test::readFile(installed / "Contents/Resources/CHANGELOG.md"); }

    test::ScratchDir dir;
    fs::path installed = dir.path() / "My Apps" / "Trayline.app";
    fs::path fresh = dir.path() / "work dir" / "unpacked" / "Trayline.app";
    fs::path script = dir.path() / "work dir" / "unpacked" / "install.sh";
    fs::path relaunched = dir.path() / "My Apps" / "relaunched";
};

TEST_F(InstallerRun, PutsTheOldBundleBackWhenTheNewOneCannotMoveIn) {
    fs::remove_all(fresh);
    EXPECT_EQ(run(), 1);
    EXPECT_NE(installedVersion().find("## 1.0"), std::string::npos);
    EXPECT_FALSE(fs::exists(installed.string() + ".old"));
    EXPECT_FALSE(fs::exists(relaunched));
}

TEST_F(InstallerRun, TouchesNothingWhenTheOldBundleCannotMoveAside) {
    fs::remove_all(installed);
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_NE(test::readFile(fresh / "Contents/Resources/CHANGELOG.md").find("## 2.0"), std::string::npos);
    EXPECT_FALSE(fs::exists(relaunched));
}

TEST_F(InstallerRun, WaitsForTheAppToExitBeforeSwapping) {
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);  // the script must not keep the pipe open
    const pid_t app = ::fork();
    if (app == 0) {
        ::close(gate[1]);
        char c;
        [[maybe_unused]] auto n = ::read(gate[0], &c, 1);  // lives until the test closes the pipe
        ::_exit(0);
    }
    ::close(gate[0]);
    writeFileAtomically(script, installerScript(app), 0700);
    int status = -1;
    std::thread installer([&] { status = run(); });

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(fs::exists(fresh)) << "swapped while the app was still running";
    EXPECT_NE(installedVersion().find("## 1.0"), std::string::npos);

    ::close(gate[1]);
    ::waitpid(app, nullptr, 0);
    installer.join();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(test::waitForFile(relaunched));
    EXPECT_NE(installedVersion().find("## 2.0"), std::string::npos);
}

}  // namespace
}  // namespace trayline

// One tray application per session: the lock, the socket, and what a second start sees.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <vector>

#include <QSignalSpy>

#include "core/platform/unique_fd.h"
#include "desktop/platform/single_instance.h"
#include "qt_test_support.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Role = SingleInstance::Role;

sockaddr_un addressOf(const fs::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

class SingleInstanceTest : public ::testing::Test {
protected:
    test::TempProfile scratch;
    fs::path dir = scratch.root() / "run";

    // Runs the blocking request on a worker while this thread serves the primary's event loop.
    bool askFromAnotherThread(const SingleInstance& secondary, std::chrono::milliseconds timeout) {
        auto asked = std::async(std::launch::async, [&] { return secondary.askPrimaryToShow(timeout); });
        test::spinUntil([&] { return asked.wait_for(0s) == std::future_status::ready; }, 10000);
        return asked.get();
    }

    // A second start in the same directory: finds the lock taken and gets the primary to show.
    void expectSecondStartShows(SingleInstance& primary) {
        QSignalSpy shown(&primary, &SingleInstance::showRequested);
        SingleInstance second(dir);
        ASSERT_EQ(second.claim(), Role::Secondary);
        EXPECT_TRUE(askFromAnotherThread(second, 5s));
        EXPECT_EQ(shown.count(), 1);
    }
};

TEST_F(SingleInstanceTest, SecondStartAsksTheFirstToShowItsPanel) {
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    expectSecondStartShows(first);
}

TEST_F(SingleInstanceTest, DirectoryAndSocketAreClosedToOtherUsers) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);  // a too-open directory of our own is closed
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(first.socketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(SingleInstanceTest, LeftoversOfAnEndedProcessDoNotBlockTheNextStart) {
    {
        SingleInstance ended(dir);
        ASSERT_EQ(ended.claim(), Role::Primary);
    }
    // A crash leaves the socket file behind; nothing listens on it any more.
    {
        sockaddr_un address = addressOf(dir / "instance.sock");
        UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
        ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    SingleInstance next(dir);
    ASSERT_EQ(next.claim(), Role::Primary);
    expectSecondStartShows(next);
}

TEST_F(SingleInstanceTest, APrimaryThatNeverAnswersIsReportedNotAssumed) {
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    fs::remove(first.socketPath());  // holds the lock but cannot be reached
    SingleInstance second(dir);
    ASSERT_EQ(second.claim(), Role::Secondary);
    EXPECT_FALSE(askFromAnotherThread(second, 300ms));
}

TEST_F(SingleInstanceTest, OtherTrafficOnTheSocketShowsNothing) {
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    for (const std::string& request : std::vector<std::string>{"hide\n", "show", std::string(200, 'x')}) {
        const sockaddr_un address = addressOf(first.socketPath());
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
        ASSERT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        QTest::qWait(100);
    }
    EXPECT_EQ(shown.count(), 0);
}

TEST_F(SingleInstanceTest, UnsafeDirectoryIsRefused) {
    fs::create_directories(scratch.root() / "elsewhere");
    fs::create_directory_symlink(scratch.root() / "elsewhere", dir);
    SingleInstance first(dir);
    EXPECT_THROW(first.claim(), std::runtime_error);
}

}  // namespace
}  // namespace trayline

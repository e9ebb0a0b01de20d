// One tray application per session: the lock, the socket, and what a second start sees.

#include <sys/un.h>

#include <cstring>
#include <future>

#include "core/platform/unique_fd.h"
#include "desktop/platform/single_instance.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Role = SingleInstance::Role;

class SingleInstanceTest : public ::testing::Test {
protected:
    // A second start finds the lock taken and asks from a worker; this thread serves the primary.
    bool secondStartIsShown(std::chrono::milliseconds timeout) {
        SingleInstance second(dir);
        EXPECT_EQ(second.claim(), Role::Secondary);
        auto asked = std::async(std::launch::async, [&] { return second.askPrimaryToShow(timeout); });
        test::spinUntil([&] { return asked.wait_for(0s) == std::future_status::ready; }, 10000);
        return asked.get();
    }

    test::TempProfile scratch;
    fs::path dir = scratch.root() / "run";
};

TEST_F(SingleInstanceTest, ASecondStartAsksTheFirstToShowItsPanelOverAPrivateSocket) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);  // a too-open directory of our own is closed
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(first.socketPath()).type(), fs::file_type::socket);
    EXPECT_EQ(fs::status(first.socketPath()).permissions() & ~fs::perms::owner_all, fs::perms::none);

    QSignalSpy shown(&first, &SingleInstance::showRequested);
    EXPECT_TRUE(secondStartIsShown(5s));
    EXPECT_EQ(shown.count(), 1);
}

TEST_F(SingleInstanceTest, LeftoversOfAnEndedProcessDoNotBlockTheNextStart) {
    SingleInstance(dir).claim();
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};  // a crash leaves the socket, nobody listens
    std::strcpy(address.sun_path, (dir / "instance.sock").c_str());
    const UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SingleInstance next(dir);
    ASSERT_EQ(next.claim(), Role::Primary);
    EXPECT_TRUE(secondStartIsShown(5s));
}

TEST_F(SingleInstanceTest, AnUnreachablePrimaryIsReportedAndAnUnsafeDirectoryRefused) {
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    fs::remove(first.socketPath());  // holds the lock, cannot be reached: reported, not assumed
    EXPECT_FALSE(secondStartIsShown(300ms));
    fs::create_directory_symlink(dir, scratch.root() / "link");
    EXPECT_THROW(SingleInstance(scratch.root() / "link").claim(), std::runtime_error);
}

}  // namespace
}  // namespace trayline

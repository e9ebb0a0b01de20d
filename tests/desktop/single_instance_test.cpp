// One tray application per session: the lock, the socket, and what a second start sees.

#include <sys/socket.h>
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

// A socket of its own on `path`: bound only (a crash's leftover) or connected.
UniqueFd unixSocket(const fs::path& path, bool connect) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.string().size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    const auto* a = reinterpret_cast<const sockaddr*>(&address);
    EXPECT_EQ(connect ? ::connect(fd.get(), a, sizeof address) : ::bind(fd.get(), a, sizeof address), 0);
    return fd;
}

class SingleInstanceTest : public ::testing::Test {
protected:
    // A second start in the same directory finds the lock taken; asks the primary to show from a
    // worker while this thread serves the primary's event loop.
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
    const auto socket = fs::status(first.socketPath());
    EXPECT_EQ(socket.type(), fs::file_type::socket);
    EXPECT_EQ(socket.permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);

    QSignalSpy shown(&first, &SingleInstance::showRequested);
    EXPECT_TRUE(secondStartIsShown(5s));
    EXPECT_EQ(shown.count(), 1);
    for (const std::string& request : {std::string("hide\n"), std::string("show"), std::string(200, 'x')}) {
        const auto fd = unixSocket(first.socketPath(), true);
        EXPECT_EQ(::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        QTest::qWait(100);
    }
    EXPECT_EQ(shown.count(), 1) << "other traffic on the socket shows nothing";
}

TEST_F(SingleInstanceTest, LeftoversOfAnEndedProcessDoNotBlockTheNextStart) {
    SingleInstance(dir).claim();
    unixSocket(dir / "instance.sock", false);  // a crash leaves the socket file, nothing listens
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

// One tray application per session: the lock, the socket, and what a second start sees.

#include <sys/un.h>

#include <cstring>
#include <future>

#include <QLocalSocket>

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
    bool secondStartIsShown(std::chrono::milliseconds timeout, SingleInstance::Request request = SingleInstance::Request::show) {
        SingleInstance second(dir);
        EXPECT_EQ(second.claim(), Role::Secondary);
        auto asked = std::async(std::launch::async, [&] { return second.askPrimary(request, timeout); });
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

// "trayline --toggle" is its own request: the panel shows or hides; a plain second start only shows.
TEST_F(SingleInstanceTest, AToggleIsToldApartFromAShowAndAnythingElseIsIgnored) {
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    QSignalSpy toggled(&first, &SingleInstance::toggleRequested);
    EXPECT_TRUE(secondStartIsShown(5s, SingleInstance::Request::toggle));
    EXPECT_TRUE(secondStartIsShown(5s, SingleInstance::Request::toggle));
    EXPECT_TRUE(secondStartIsShown(5s));
    EXPECT_EQ(std::make_pair(shown.count(), toggled.count()), std::make_pair(qsizetype(1), qsizetype(2)));

    QLocalSocket stranger;
    stranger.connectToServer(QString::fromStdString(first.socketPath().string()));
    ASSERT_TRUE(stranger.waitForConnected(5000));
    stranger.write("toggle-all\n");
    ASSERT_TRUE(test::spinUntil([&] { return stranger.state() == QLocalSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(stranger.readAll(), "") << "no confirmation for what was not done";
    EXPECT_EQ(std::make_pair(shown.count(), toggled.count()), std::make_pair(qsizetype(1), qsizetype(2)));
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

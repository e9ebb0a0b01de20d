// Which backend SecretStore::forCurrentUser() picks: an existing file pins
// the file backend; no bus, no Secret Service, or no answer within 2 s leads to the file too, and
// never to a hang. (The positive case, a keyring that answers, is in keychain_keyring_test.)

#include "core/platform/keychain.h"
#include "core/platform/secret_file_backend.h"
#include "isolated_secrets.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <thread>

namespace trayline {
namespace {

using std::chrono::milliseconds;
using test::IsolatedSecrets;
using test::ScopedEnv;

// A Unix socket that accepts connections (the kernel queues them) but never says a word: a bus
// that hangs.
class SilentSocket {
public:
    explicit SilentSocket(const std::filesystem::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd_ >= 0)
            ::fcntl(fd_, F_SETFL, O_NONBLOCK);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 16) != 0)
            ADD_FAILURE() << "cannot listen on " << path;
    }
    ~SilentSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    std::string address() const { return "unix:path=" + path_.string(); }
    // Connections made to it so far.
    int connections() {
        while (true) {
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0)
                return accepted_;
            ::close(client);
            ++accepted_;
        }
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    int accepted_ = 0;
};

// A real dbus-daemon with no activatable services at all: a bus on which nobody owns
// org.freedesktop.secrets.
class BareBus {
public:
    explicit BareBus(const std::filesystem::path& dir) : socket_(dir / "bus") {
        std::filesystem::create_directories(dir / "services");
        const auto config = dir / "bus.conf";
        test::writeFile(
            config,
            R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
                socket_.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <servicedir>)" +
                (dir / "services").string() + R"(</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string arg = "--config-file=" + config.string();
            ::execlp("dbus-daemon", "dbus-daemon", arg.c_str(), "--nofork", "--nopidfile",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !std::filesystem::exists(socket_); ++i)
            std::this_thread::sleep_for(milliseconds(10));
    }
    ~BareBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0 && std::filesystem::exists(socket_); }
    std::string address() const { return "unix:path=" + socket_.string(); }

private:
    std::filesystem::path socket_;
    pid_t pid_ = -1;
};

class SecretStoreSelection : public IsolatedSecrets {};

TEST_F(SecretStoreSelection, AnExistingFilePinsTheFileBackendWithoutAskingTheBus) {
    SilentSocket bus(profile_.root() / "silent");
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    test::writeFile(secretsFile(), "{}");
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
    EXPECT_EQ(bus.connections(), 0) << "the bus was probed";
}

TEST_F(SecretStoreSelection, NoSessionBusFallsBackToTheFileAndTheFirstWritePinsIt) {
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
    Keychain::set("secret", "clientSecret");
    EXPECT_TRUE(std::filesystem::exists(secretsFile()));
    EXPECT_EQ(Keychain::get("clientSecret"), "secret");
}

TEST_F(SecretStoreSelection, NoBusAddressAnywhereFallsBackToTheFile) {
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    ScopedEnv display("DISPLAY", std::nullopt);  // no X11 autolaunch of a bus either
    ScopedEnv runtime("XDG_RUNTIME_DIR", profile_.root().string());  // holds no "bus" socket
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
}

TEST_F(SecretStoreSelection, ABusThatNeverAnswersFallsBackToTheFileAndIsAskedOnlyOnce) {
    SilentSocket bus(profile_.root() / "silent");
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
    Keychain::set("s", "clientSecret");
    EXPECT_EQ(Keychain::get("clientSecret"), "s");
    EXPECT_EQ(bus.connections(), 1) << "the outcome for this bus is remembered";
}

TEST_F(SecretStoreSelection, ABusWithoutASecretServiceFallsBackToTheFile) {
    BareBus bus(profile_.root() / "bus");
    ASSERT_TRUE(bus.running()) << "dbus-daemon did not start";
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
}

TEST_F(SecretStoreSelection, AChangedBusAddressIsProbedAfresh) {
    SilentSocket first(profile_.root() / "first"), second(profile_.root() / "second");
    {
        ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", first.address());
        EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
    }
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", second.address());
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
    EXPECT_EQ(first.connections(), 1);
    EXPECT_EQ(second.connections(), 1);
}

}  // namespace
}  // namespace trayline

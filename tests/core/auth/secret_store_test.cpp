// The private-file secret store, and which store the selector picks when no keyring answers.

#include "core/platform/secret_file_backend.h"
#include "support/temp_env.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace trayline {
namespace {

struct stat statOf(const std::filesystem::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st;
}

class SecretFile : public ::testing::Test {
protected:
    test::TempProfile profile;
    std::filesystem::path dir = profile.dataHome() / "com.brindle.Trayline";
    std::filesystem::path file = dir / "keychain.json";
    SecretFileBackend store{file};
};

TEST_F(SecretFile, IsAPrivateFileInAPrivateDirectoryThatOnlyAWriteCreates) {
    EXPECT_EQ(SecretFileBackend::defaultPath(), file);
    store.remove("tokens");
    EXPECT_FALSE(std::filesystem::exists(dir));
    const mode_t old = ::umask(0);
    EXPECT_TRUE(store.set("tokens", "t"));
    ::umask(old);
    EXPECT_EQ(statOf(dir).st_mode & 07777, 0700u);
    EXPECT_EQ(statOf(file).st_mode & 07777, 0600u);
    ::chmod(dir.c_str(), 0755);
    ::chmod(file.c_str(), 0644);
    EXPECT_TRUE(store.set("tokens", "u"));
    EXPECT_EQ(statOf(dir).st_mode & 07777, 0700u);
    EXPECT_EQ(statOf(file).st_mode & 07777, 0600u);
}

TEST_F(SecretFile, IsOneJsonObjectThatWritesReplaceByRename) {
    test::writeFile(file, R"({"clientSecret":"typed by a user","tokens":5,"old":"x"})");
    EXPECT_EQ(store.get("clientSecret"), "typed by a user");
    EXPECT_EQ(store.get("tokens"), std::nullopt) << "a member that is no text is no item";
    const auto before = statOf(file).st_ino;
    EXPECT_TRUE(store.set("tokens", "t\"o\nk"));
    EXPECT_TRUE(store.set("empty", ""));
    store.remove("old");
    EXPECT_NE(statOf(file).st_ino, before) << "the file was rewritten in place";
    EXPECT_EQ(nlohmann::json::parse(test::readFile(file)),
              nlohmann::json({{"clientSecret", "typed by a user"}, {"tokens", "t\"o\nk"}, {"empty", ""}}));
    EXPECT_EQ(store.get("empty"), "");
}

TEST_F(SecretFile, WritersInSeveralProcessesAndThreadsKeepEachOthersItems) {
    auto writeAll = [this](const std::string& account) {
        SecretFileBackend own(file);
        bool ok = true;
        for (int i = 0; i < 20; ++i)
            ok = own.set(account, std::to_string(i)) && ok;
        return ok;
    };
    std::vector<pid_t> children;
    for (const char* account : {"process0", "process1"}) {
        children.push_back(::fork());
        if (children.back() == 0)
            ::_exit(writeAll(account) ? 0 : 1);
    }
    std::vector<std::thread> threads;
    for (const char* account : {"thread0", "thread1", "thread2"})
        threads.emplace_back([&, account] { EXPECT_TRUE(writeAll(account)); });
    for (auto& thread : threads)
        thread.join();
    for (pid_t pid : children) {
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    for (const char* account : {"process0", "process1", "thread0", "thread1", "thread2"})
        EXPECT_EQ(store.get(account), "19") << account;
}

TEST_F(SecretFile, KeepsAsideAFileItCannotReadAndRefusesDataJsonCannotCarry) {
    for (const std::string garbage : {"not json", "[1,2]"}) {
        test::writeFile(file, garbage);
        EXPECT_EQ(store.get("tokens"), std::nullopt) << garbage;
        store.remove("tokens");
        EXPECT_EQ(test::readFile(file), garbage) << "remove must not touch it";
        EXPECT_TRUE(store.set("tokens", "fresh"));
        EXPECT_EQ(test::readFile(file.string() + ".bad"), garbage);
        EXPECT_EQ(store.get("tokens"), "fresh");
    }
    EXPECT_FALSE(store.set("tokens", "bad \xFF"));
    EXPECT_EQ(store.get("tokens"), "fresh");
}

// Sets (or, with nullopt, unsets) an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A Unix socket that accepts connections (the kernel queues them) but never answers: a hung bus.
class SilentBus {
public:
    explicit SilentBus(const std::filesystem::path& path) : path_(path) {
        sockaddr_un address{AF_UNIX, {}};
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 16) != 0)
            ADD_FAILURE() << "cannot listen on " << path;
    }
    ~SilentBus() { ::close(fd_); }
    std::string address() const { return "unix:path=" + path_.string(); }
    int connections() {
        for (int client; (client = ::accept4(fd_, nullptr, nullptr, 0)) >= 0; ++accepted_)
            ::close(client);
        return accepted_;
    }

private:
    std::filesystem::path path_;
    int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int accepted_ = 0;
};

class Selection : public SecretFile {
protected:
    SecretStoreSelector selector;
};

TEST_F(Selection, AnExistingFilePinsTheFileWithoutAskingTheBus) {
    SilentBus bus(profile.root() / "bus");
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    test::writeFile(file, "{}");
    EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
    EXPECT_EQ(bus.connections(), 0);
}

TEST_F(Selection, ABusThatNeverAnswersLeadsToTheFileAndIsAskedOncePerAddress) {
    SilentBus first(profile.root() / "first"), second(profile.root() / "second");
    {
        ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", first.address());
        EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
        EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
    }
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", second.address());
    EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
    EXPECT_EQ(first.connections(), 1) << "the outcome for a bus is remembered";
    EXPECT_EQ(second.connections(), 1) << "another bus is asked afresh";
}

TEST_F(Selection, NoBusAtAllLeadsToTheFile) {
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    ScopedEnv display("DISPLAY", std::nullopt);  // no X11 autolaunch of a bus either
    ScopedEnv runtime("XDG_RUNTIME_DIR", profile.root().string());  // holds no "bus" socket
    EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
}

}  // namespace
}  // namespace trayline

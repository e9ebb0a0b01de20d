// The private-file secret store: permissions, format, atomic replace,
// concurrent writers, and what happens to a file it cannot read.

#include "core/platform/secret_file_backend.h"
#include "core/platform/keychain.h"
#include "isolated_secrets.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

namespace trayline {
namespace {

using test::IsolatedSecrets;

unsigned modeOf(const std::filesystem::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

ino_t inodeOf(const std::filesystem::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_ino;
}

class SecretFileBackendTest : public IsolatedSecrets {
protected:
    SecretFileBackend backend() const { return SecretFileBackend(secretsFile()); }
};

TEST_F(SecretFileBackendTest, DefaultPathFollowsXdgDataHome) {
    EXPECT_EQ(SecretFileBackend::defaultPath(), secretsFile());
}

TEST_F(SecretFileBackendTest, FirstWriteCreatesAPrivateDirectoryAndFileWhateverTheUmask) {
    const mode_t old = ::umask(0);  // a careless umask must not widen the secrets
    Keychain::set("s", "clientSecret");
    ::umask(old);
    EXPECT_EQ(modeOf(secretsDir()), 0700u);
    EXPECT_EQ(modeOf(secretsFile()), 0600u);
}

TEST_F(SecretFileBackendTest, WiderExistingDirectoryAndFileAreTightenedOnWrite) {
    std::filesystem::create_directories(secretsDir());
    ::chmod(secretsDir().c_str(), 0755);
    test::writeFile(secretsFile(), "{}");
    ::chmod(secretsFile().c_str(), 0644);

    Keychain::set("s", "clientSecret");
    EXPECT_EQ(modeOf(secretsDir()), 0700u);
    EXPECT_EQ(modeOf(secretsFile()), 0600u);
}

TEST_F(SecretFileBackendTest, FileIsOneObjectOfAccountToData) {
    Keychain::set("t\"o\nk", "tokens");
    Keychain::set("", "clientSecret");
    const auto j = nlohmann::json::parse(test::readFile(secretsFile()));
    EXPECT_EQ(j, nlohmann::json({{"tokens", "t\"o\nk"}, {"clientSecret", ""}}));
    EXPECT_EQ(Keychain::get("clientSecret"), std::optional<std::string>(""));
    EXPECT_EQ(Keychain::get("tokens"), "t\"o\nk");
}

TEST_F(SecretFileBackendTest, ItemsWrittenByHandAreRead) {
    test::writeFile(secretsFile(), R"({"clientSecret":"typed by a user","tokens":5})");
    EXPECT_EQ(Keychain::get("clientSecret"), "typed by a user");
    EXPECT_EQ(Keychain::get("tokens"), std::nullopt) << "a non-string member is no item";
}

TEST_F(SecretFileBackendTest, WritesReplaceTheFileByRenameAndLeaveNoTemporaryFiles) {
    Keychain::set("1", "tokens");
    const auto before = inodeOf(secretsFile());
    Keychain::set("2", "tokens");
    EXPECT_NE(inodeOf(secretsFile()), before) << "the file was rewritten in place";

    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(secretsDir()))
        names.push_back(e.path().filename().string());
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("keychain.json", "keychain.json.lock"));
}

TEST_F(SecretFileBackendTest, ReadersNeverSeeAHalfWrittenFile) {
    const std::string a(200'000, 'a'), b(200'000, 'b');
    auto store = backend();
    store.set("tokens", a);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        SecretFileBackend r(secretsFile());
        while (!stop) {
            const auto v = r.get("tokens");
            if (!v || (*v != a && *v != b))
                ++bad;
        }
    });
    for (int i = 0; i < 40; ++i)
        store.set("tokens", i % 2 ? a : b);
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
}

TEST_F(SecretFileBackendTest, WritersInSeveralProcessesAndThreadsKeepEachOthersItems) {
    constexpr int kRounds = 20;
    const auto file = secretsFile();
    auto writeAll = [&](const std::string& account) {
        SecretFileBackend s(file);
        for (int i = 0; i < kRounds; ++i)
            if (!s.set(account, std::to_string(i)))
                return false;
        return true;
    };

    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            ::_exit(writeAll("process" + std::to_string(p)) ? 0 : 1);
        children.push_back(pid);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] { EXPECT_TRUE(writeAll("thread" + std::to_string(t))); });
    for (auto& th : threads)
        th.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    auto s = backend();
    for (const char* account : {"process0", "process1", "thread0", "thread1", "thread2"})
        EXPECT_EQ(s.get(account), std::to_string(kRounds - 1)) << account;
}

TEST_F(SecretFileBackendTest, RemoveKeepsOtherItemsAndNeverCreatesTheFile) {
    auto s = backend();
    s.remove("tokens");
    EXPECT_FALSE(std::filesystem::exists(secretsFile()));
    EXPECT_FALSE(std::filesystem::exists(secretsDir()));

    s.set("tokens", "t");
    s.set("clientSecret", "c");
    s.remove("tokens");
    s.remove("tokens");
    EXPECT_EQ(s.get("tokens"), std::nullopt);
    EXPECT_EQ(s.get("clientSecret"), "c");
}

TEST_F(SecretFileBackendTest, AFileThatIsNotAJsonObjectIsKeptAsideNotDestroyed) {
    for (const std::string garbage : {"not json", "[1,2]", "{\"tokens\":\"x\"", ""}) {
        std::filesystem::remove_all(secretsDir());
        test::writeFile(secretsFile(), garbage);
        auto s = backend();
        EXPECT_EQ(s.get("tokens"), std::nullopt) << garbage;
        s.remove("tokens");
        EXPECT_EQ(test::readFile(secretsFile()), garbage) << "remove must not touch it";

        EXPECT_TRUE(s.set("tokens", "fresh"));
        EXPECT_EQ(test::readFile(secretsFile().string() + ".bad"), garbage);
        EXPECT_EQ(s.get("tokens"), "fresh");
    }
}

TEST_F(SecretFileBackendTest, DataThatJsonCannotCarryIsRefusedAndThePreviousItemStays) {
    auto s = backend();
    ASSERT_TRUE(s.set("tokens", "good"));
    EXPECT_FALSE(s.set("tokens", "bad \xFF"));
    EXPECT_EQ(s.get("tokens"), "good");
}

}  // namespace
}  // namespace trayline

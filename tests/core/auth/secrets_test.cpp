// The stored token set and the keychain over the private file store; which store the selector
// picks when no keyring answers; acquiring and refreshing the access token against the demo
// instance's token endpoint.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/auth/auth_error.h"
#include "core/auth/token_request.h"
#include "core/auth/token_store.h"
#include "core/platform/decoding_error.h"
#include "core/platform/secret_file_backend.h"
#include "support/demo_fixture.h"
#include "support/hooked_store.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;

class TokenStoreTest : public ::testing::Test {
protected:
    test::TempProfile profile;
    std::shared_ptr<SecretStore> file = std::make_shared<SecretFileBackend>(profile.root() / "k.json");
    Keychain keychain{[f = file] { return f; }};
    TokenStore store{keychain};
};

TEST_F(TokenStoreTest, SavesTheCompactFormClearRemovesOnlyItAndOnlyWellFormedPayloadsAreRead) {
    EXPECT_EQ(store.read(), std::nullopt);
    const TokenSet tokens{"a", "r", Instant{std::chrono::milliseconds(1767225600500)}};  // 2026
    store.save(tokens);
    store.save({"bad\xFF", "r", Instant{}});  // cannot be encoded: the previous set stays
    EXPECT_EQ(file->get("tokens"), R"({"accessToken":"a","expiresAt":788918400.5,"refreshToken":"r"})");
    EXPECT_EQ(store.read(), tokens);
    keychain.set("secret", "clientSecret");
    store.clear();
    EXPECT_EQ(file->get("tokens"), std::nullopt);
    EXPECT_EQ(file->get("clientSecret"), "secret");
    const std::pair<std::string, bool> payloads[] = {
        {R"({"accessToken":"a","refreshToken":"","expiresAt":-3.5})", true},
        {R"({ "expiresAt" : 7, "scope":null, "refreshToken":"r", "accessToken":"a" })", true},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":1)", false},
        {R"([{"accessToken":"a","refreshToken":"r","expiresAt":1}])", false},
        {R"({"accessToken":"a","refreshToken":"r"})", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":"2026-03-04T10:00:00Z"})", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":5e10})", false},
        {R"({"accessToken":"a","refreshToken":null,"expiresAt":1})", false},
        {R"({"accessToken":5,"refreshToken":"r","expiresAt":1})", false},
    };
    for (const auto& [payload, loads] : payloads) {
        file->set("tokens", payload);
        EXPECT_EQ(store.read().has_value(), loads) << payload;
        EXPECT_EQ(file->get("tokens"), payload);
    }
}

// A keyring item holding bytes that are not UTF-8.
struct Latin1Store final : SecretStore {
    std::optional<std::string> get(const std::string&) override { return "caf\xE9"; }
    bool set(const std::string&, const std::string&) override { return false; }
    bool remove(const std::string&) override { return true; }
};

TEST(Keychain, ReadsBytesThatAreNotUtf8AsAbsentAndNeverThrows) {
    EXPECT_EQ(Keychain([] { return std::make_shared<Latin1Store>(); }).get("tokens"), std::nullopt);
    const Keychain gone([]() -> std::shared_ptr<SecretStore> { throw std::runtime_error("gone"); });
    EXPECT_EQ(gone.get("tokens"), std::nullopt);
    EXPECT_NO_THROW(TokenStore(gone).save({"a", "r", Instant{}}));
    EXPECT_NO_THROW(TokenStore(gone).clear());
}

// A reader keys what it read by the generation it saw first; a sign-out must leave that key stale. A
// sign-out during a guarded save waits for it and wins.
TEST_F(TokenStoreTest, ASignOutWinsOverAReadOrASaveUnderWay) {
    store.save({"old", "r", Instant{}});
    auto slowStore = std::make_shared<test::HookedStore>(file);
    slowStore->removeDelay = std::chrono::milliseconds(300);
    TokenStore slow{Keychain([slowStore] { return slowStore; })};
    std::thread signOut([&] { slow.clear(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the removal is under way
    const auto seen = slow.generation();
    const bool found = slow.read().has_value();
    signOut.join();
    EXPECT_FALSE(found && slow.generation() == seen) << "old tokens read under the current generation";

    slowStore->removeDelay = std::chrono::milliseconds(0);
    slowStore->setDelay = std::chrono::milliseconds(300);
    std::thread refresher([&] { slow.saveIfGeneration({"late", "r", Instant{}}, slow.generation()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the save is under way
    slow.clear();
    refresher.join();
    EXPECT_EQ(store.read(), std::nullopt);
}

struct stat statOf(const std::filesystem::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st;
}

class SecretFile : public ::testing::Test {
protected:
    std::pair<unsigned, unsigned> modes() { return {statOf(dir).st_mode & 07777, statOf(file).st_mode & 07777}; }
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
    EXPECT_EQ(modes(), std::pair(0700u, 0600u));
    ::chmod(dir.c_str(), 0755);
    ::chmod(file.c_str(), 0644);
    EXPECT_TRUE(store.set("tokens", "u"));
    EXPECT_EQ(modes(), std::pair(0700u, 0600u)) << "wider modes are tightened";
}

TEST_F(SecretFile, IsOneJsonObjectThatWritesReplaceByRenameAndAFileItCannotReadIsKeptAside) {
    test::writeFile(file, R"({"clientSecret":"typed by a user","tokens":5,"old":"x"})");
    EXPECT_EQ(store.get("clientSecret"), "typed by a user");
    EXPECT_EQ(store.get("tokens"), std::nullopt) << "a member that is no text is no item";
    const auto before = statOf(file).st_ino;
    EXPECT_TRUE(store.set("tokens", "t\"o\nk"));
    EXPECT_NE(statOf(file).st_ino, before) << "the file was rewritten in place";
    EXPECT_TRUE(store.set("empty", ""));
    store.remove("old");
    EXPECT_EQ(nlohmann::json::parse(test::readFile(file)),
              nlohmann::json({{"clientSecret", "typed by a user"}, {"tokens", "t\"o\nk"}, {"empty", ""}}));
    EXPECT_EQ(store.get("empty"), "");
    test::writeFile(file, "[1,2]");
    EXPECT_EQ(store.get("tokens"), std::nullopt);
    store.remove("tokens");
    EXPECT_EQ(test::readFile(file), "[1,2]") << "remove must not touch it";
    EXPECT_TRUE(store.set("tokens", "fresh"));
    EXPECT_EQ(test::readFile(file.string() + ".bad"), "[1,2]");
    EXPECT_EQ(store.get("tokens"), "fresh");
    EXPECT_FALSE(store.set("tokens", "bad \xFF"));
    EXPECT_EQ(store.get("tokens"), "fresh");
}

TEST_F(SecretFile, WritersInSeveralProcessesKeepEachOthersItems) {
    const auto writeAll = [this](const std::string& account) {
        for (int i = 0; i < 20; ++i)
            SecretFileBackend(file).set(account, std::to_string(i));
    };
    std::vector<pid_t> children;
    for (const char* account : {"child1", "child2", "child3"}) {
        if (children.emplace_back(::fork()) == 0) {
            writeAll(account);
            ::_exit(0);
        }
    }
    writeAll("parent");
    for (pid_t child : children)
        ::waitpid(child, nullptr, 0);
    for (const char* account : {"parent", "child1", "child2", "child3"})
        EXPECT_EQ(store.get(account), "19") << account;
}

// A Unix socket that accepts connections (the kernel queues them) but never answers: a hung bus.
class SilentBus {
public:
    explicit SilentBus(const std::filesystem::path& path) : address("unix:path=" + path.string()) {
        sockaddr_un at{AF_UNIX, {}};
        path.string().copy(at.sun_path, sizeof at.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << path;
        EXPECT_EQ(::listen(fd_, 16), 0);
    }
    ~SilentBus() { ::close(fd_); }
    int connections() {
        for (int client; (client = ::accept4(fd_, nullptr, nullptr, 0)) >= 0; ++accepted_)
            ::close(client);
        return accepted_;
    }
    const std::string address;

private:
    int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int accepted_ = 0;
};

class Selection : public SecretFile {
protected:
    ~Selection() override { bus_.empty() ? ::unsetenv(kBus) : ::setenv(kBus, bus_.c_str(), 1); }
    static constexpr const char* kBus = "DBUS_SESSION_BUS_ADDRESS";
    const std::string bus_ = std::getenv(kBus) ? std::getenv(kBus) : "";
    SecretStoreSelector selector;
};

TEST_F(Selection, ABusThatNeverAnswersIsAskedOncePerAddressAndNotAtAllWhileTheFileExists) {
    SilentBus first(profile.root() / "first"), second(profile.root() / "second");
    ::setenv(kBus, first.address.c_str(), 1);
    test::writeFile(file, "{}");
    EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
    EXPECT_EQ(first.connections(), 0);
    std::filesystem::remove(file);
    EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
    EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
    ::setenv(kBus, second.address.c_str(), 1);
    EXPECT_EQ(selector.select()->kind(), SecretStore::Kind::file);
    EXPECT_EQ(first.connections(), 1) << "the outcome for a bus is remembered";
    EXPECT_EQ(second.connections(), 1) << "another bus is asked afresh";
}

TEST(TokenResponse, DecodesStrictlyAndKeepsSixtySecondsOfMarginWithAFloorOfSixty) {
    const auto r = TokenResponse::decode(R"({"access_token":"a","refresh_token":null,"expires_in":60,"x":1})");
    EXPECT_EQ(r.accessToken, "a");
    EXPECT_EQ(r.refreshToken, "");
    for (const char* bad : {R"({"access_token":"a","expires_in":"3600"})", R"({"expires_in":3600})", "[]",
                            R"({"access_token":1,"expires_in":3600})", R"({"access_token":"a","expires_in":1.5})",
                            R"({"access_token":"a","refresh_token":5,"expires_in":1})", "<html>"})
        EXPECT_THROW(TokenResponse::decode(bad), DecodingError) << bad;
    const Instant received{1'700'000'000s};
    for (const auto& [expiresIn, validFor] : {std::pair{1800, 1740}, {121, 61}, {120, 60}, {30, 60}, {-5000, 60}})
        EXPECT_EQ(expiryFor(expiresIn, received) - received, std::chrono::seconds(validFor)) << expiresIn;
}

class RefreshTest : public ::testing::Test {
protected:
    void SetUp() override {
        demo.signIn(-1);  // stored but expired: the next acquisition refreshes
        demo.instance().reset();
    }
    std::size_t tokenRequests() { return demo.countRequests("POST", "/oauth_token.do"); }
    // accessToken() on eight threads at once.
    static std::vector<std::future<std::string>> eightCallers() {
        std::vector<std::future<std::string>> calls;
        for (int i = 0; i < 8; ++i)
            calls.push_back(std::async(std::launch::async, [] { return TokenStore::shared().accessToken(); }));
        return calls;
    }
    test::DemoProfile demo;
};

// Callers that find the token expired share one refresh: its failure, which keeps the set, then its
// new token, which keeps the refresh token. A valid token goes out without a request.
TEST_F(RefreshTest, EightCallersThatFindTheTokenExpiredShareOneRefreshAndItsOutcome) {
    const auto before = *TokenStore::load();
    demo.instance().setLatency(200ms);
    demo.instance().failNext(1, 503, "maintenance");
    for (auto& call : eightCallers())
        EXPECT_THROW(call.get(), AuthError);
    EXPECT_EQ(tokenRequests(), 1u);
    EXPECT_EQ(TokenStore::load(), before);
    demo.instance().failNext(1, 200, R"({"access_token":"fresh","expires_in":3600})");
    for (auto& call : eightCallers())
        EXPECT_EQ(call.get(), "fresh");
    EXPECT_EQ(tokenRequests(), 2u);
    const auto after = *TokenStore::load();
    EXPECT_EQ(after.accessToken, "fresh");
    EXPECT_EQ(after.refreshToken, before.refreshToken);
    EXPECT_GT(after.expiresAt, std::chrono::system_clock::now() + 3500s);
    const auto body = demo.instance().requestLog()[1].body;
    EXPECT_NE(body.find("grant_type=refresh_token&refresh_token=" + before.refreshToken), std::string::npos);
    EXPECT_EQ(TokenStore::shared().accessToken("some-older-token"), "fresh");
    EXPECT_EQ(tokenRequests(), 2u);
}

TEST_F(RefreshTest, ARefusedRefreshSignsOutSoTheNextCallMakesNoRequest) {
    demo.instance().revokeRefreshTokens();
    EXPECT_THROW(TokenStore::shared().accessToken(), AuthError);
    EXPECT_FALSE(TokenStore::load());
    EXPECT_THROW(TokenStore::shared().accessToken(), AuthError);
    EXPECT_EQ(tokenRequests(), 1u);
}

struct Interleaving {
    const char* name;
    bool refreshRefused;  // the instance answers the refresh with 401
    bool signInAgain;     // a new sign-in follows the sign-out
    bool otherProcess;    // a second store on the same item (the MCP server's) signs out and in
};

void PrintTo(const Interleaving& row, std::ostream* os) { *os << row.name; }

class RefreshInterleavingTest : public RefreshTest, public ::testing::WithParamInterface<Interleaving> {};

// A sign-out right after the refresh read the tokens: the refresh must neither store its new set
// nor, when refused, remove a set that a newer sign-in stored, whichever process signed out. A
// newer set from another process is what the refresh hands out.
TEST_P(RefreshInterleavingTest, ASignOutThatLandsAfterTheTokensWereReadWins) {
    const auto row = GetParam();
    auto store = std::make_shared<test::HookedStore>();
    TokenStore tokens{Keychain([store] { return store; })};
    TokenStore otherProcess{Keychain([store] { return store; })};
    auto& signsOut = row.otherProcess ? otherProcess : tokens;
    const TokenSet newer{"newer", "newer-refresh", std::chrono::system_clock::now() + 1h};
    store->afterTokensRead = [&] {
        signsOut.clear();
        if (row.signInAgain)
            signsOut.save(newer);
    };
    if (row.refreshRefused)
        demo.instance().revokeRefreshTokens();
    if (row.otherProcess && row.signInAgain)
        EXPECT_EQ(tokens.accessToken(), "newer");
    else
        EXPECT_THROW(tokens.accessToken(), AuthError);
    const auto kept = tokens.read();
    EXPECT_EQ(kept ? kept->accessToken : "signed out", row.signInAgain ? "newer" : "signed out");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RefreshInterleavingTest,
    ::testing::Values(Interleaving{"RefreshSucceeds", false, false, false},
                      Interleaving{"RefreshSucceedsAfterANewSignIn", false, true, false},
                      Interleaving{"RefreshRefusedAfterANewSignIn", true, true, false},
                      Interleaving{"RefreshSucceedsAfterAnotherProcessSignedOut", false, false, true},
                      Interleaving{"RefreshSucceedsAfterAnotherProcessSignedIn", false, true, true},
                      Interleaving{"RefreshRefusedAfterAnotherProcessSignedIn", true, true, true}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline

// The keychain against a real gnome-keyring-daemon, run inside tests/support/with-keyring (a
// private D-Bus session with a throw-away keyring). secret-tool, another libsecret client, checks
// what the keyring really holds.

#include "core/platform/keychain.h"
#include "core/platform/secret_file_backend.h"
#include "core/platform/secret_service_backend.h"
#include "support/process_run.h"
#include "support/temp_env.h"

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

namespace trayline {
namespace {

using ::testing::HasSubstr;

// What secret-tool with `args` (shell words) and `input` on its standard input writes.
std::string secretTool(const std::string& args, const std::string& input = "") {
    return test::shellOutput("printf %s '" + input + "' | secret-tool " + args + " 2>&1");
}

// Every item with this account as secret-tool describes it: "[/path]", label, secret, attributes.
std::string describe(const std::string& account, const std::string& service = "com.brindle.Trayline") {
    return secretTool("search --all service " + service + " account " + account);
}

int countItems(const std::string& description) {
    const std::regex header(R"(^\[/[^\]]+\]$)", std::regex::multiline);
    return std::distance(std::sregex_iterator(description.begin(), description.end(), header),
                         std::sregex_iterator());
}

class KeychainWithKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("TRAYLINE_IN_PRIVATE_KEYRING"), nullptr)
            << "run this binary through tests/support/with-keyring";
        secretTool("clear service com.brindle.Trayline");
    }
    test::TempProfile profile;  // no keychain.json here, so the keyring is chosen
    Keychain keychain;
};

// Another libsecret client reads what the app writes in the agreed form, and the other way round;
// a write replaces only the data of the item it finds, and only our service's items go.
TEST_F(KeychainWithKeyring, IsChosenAndSharesItsItemsWithOtherSecretServiceClients) {
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::secretService);
    keychain.set("s3cr3t \xC3\xBC\n", "clientSecret");
    EXPECT_FALSE(std::filesystem::exists(SecretFileBackend::defaultPath()))
        << "a keyring write must not create the file that would pin the file backend";
    EXPECT_EQ(secretTool("lookup service com.brindle.Trayline account clientSecret"), "s3cr3t \xC3\xBC\n");
    EXPECT_THAT(describe("clientSecret"), HasSubstr("label = Trayline clientSecret\n"));
    EXPECT_THAT(describe("clientSecret"), HasSubstr("schema = com.brindle.Trayline\n"));

    secretTool("store --label='Made elsewhere' service com.brindle.Trayline account tokens", "old");
    secretTool("store --label=X service com.example.Other account clientSecret", "foreign");
    EXPECT_EQ(keychain.get("tokens"), "old");
    const auto before = describe("tokens");
    keychain.set("newer", "tokens");
    const auto after = describe("tokens");
    EXPECT_EQ(countItems(after), 1) << after;
    EXPECT_EQ(after.substr(0, after.find(']')), before.substr(0, before.find(']'))) << "made anew";
    EXPECT_THAT(after, HasSubstr("label = Made elsewhere\nsecret = newer\n"));
    keychain.set("", "tokens");
    EXPECT_EQ(keychain.get("tokens"), "") << "empty data is a present item";
    keychain.remove("clientSecret");
    keychain.remove("tokens");
    EXPECT_EQ(keychain.get("tokens"), std::nullopt);
    EXPECT_EQ(countItems(describe("clientSecret", "com.example.Other")), 1);
}

// Locks and unlocks the default collection the way the desktop would, without a prompt: locking
// needs none, and gnome-keyring takes the master password over its own interface.
class DefaultCollection {
public:
    DefaultCollection() {
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        auto alias = call(kSecrets, "ReadAlias", g_variant_new("(s)", "default"));
        g_variant_get(alias, "(o)", &path_);
        g_variant_unref(alias);
    }
    ~DefaultCollection() {
        g_free(path_);
        g_object_unref(bus_);
    }
    void lock() {
        const gchar* objects[] = {path_, nullptr};
        g_variant_unref(call(kSecrets, "Lock", g_variant_new("(^ao)", objects)));
    }
    void unlock() {
        auto opened = call(kSecrets, "OpenSession", g_variant_new("(sv)", "plain", g_variant_new_string("")));
        GVariant* output = nullptr;
        gchar* session = nullptr;
        g_variant_get(opened, "(vo)", &output, &session);
        const std::string password = "trayline-test";  // as tests/support/with-keyring set it
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.data(), password.size(), 1), "text/plain");
        g_variant_unref(call("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                             g_variant_new("(o@(oayays))", path_, secret)));
        g_variant_unref(output);
        g_free(session);
        g_variant_unref(opened);
    }

private:
    static constexpr const char* kSecrets = "org.freedesktop.Secret.Service";
    GVariant* call(const char* interface, const char* method, GVariant* parameters) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                      interface, method, parameters, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        EXPECT_NE(reply, nullptr) << method << ": " << (error ? error->message : "");
        if (error)
            g_error_free(error);
        return reply ? reply : g_variant_ref_sink(g_variant_new("()"));
    }
    GDBusConnection* bus_ = nullptr;
    gchar* path_ = nullptr;
};

// Deleting must not pass over a locked item (the next unlocking read would sign the user back in):
// unlocked, the item goes; locked, with nobody here to answer the unlock prompt, removal says it
// failed instead of pretending.
TEST_F(KeychainWithKeyring, RemovingALockedItemDeletesItOrSaysItCouldNot) {
    DefaultCollection collection;
    keychain.set("t", "tokens");
    collection.lock();
    EXPECT_FALSE(keychain.remove("tokens"));
    collection.unlock();
    EXPECT_EQ(countItems(describe("tokens")), 1) << "still stored, as reported";
    EXPECT_TRUE(keychain.remove("tokens"));
    EXPECT_EQ(countItems(describe("tokens")), 0);
    EXPECT_TRUE(keychain.remove("tokens")) << "nothing left to remove is no failure";
}

// A keyring that missed the first probe's window (its daemon still starting at login) must not
// push a sign-in into a file that would pin every later run, nor hide the item it holds: a write,
// a read or a removal looks for the keyring again, and so does a later selection once the retry
// time has passed; while the keyring is on the bus but never answers, nothing is written or
// removed at all (a sign-out that reported success would leave the user signed in).
TEST_F(KeychainWithKeyring, AKeyringThatMissedTheFirstProbeStillGetsTheSecrets) {
    enum Op { none, set, get, remove };
    const struct {
        const char* name;
        int missedProbes;  // before the keyring answers
        Op op;             // between the two selections, on an item stored before when not a set
        bool succeeds;     // the set or removal reports success, the read finds the item
        bool storedAfter;
        SecretStore::Kind later;  // what the second selection finds
    } rows[] = {{"answers at the write", 1, set, true, true, SecretStore::Kind::secretService},
                {"answers at the next selection", 1, none, false, false, SecretStore::Kind::secretService},
                {"never answers a write", 1000, set, false, false, SecretStore::Kind::file},
                {"answers at the read", 1, get, true, true, SecretStore::Kind::secretService},
                {"answers at the removal", 1, remove, true, false, SecretStore::Kind::secretService},
                {"never answers a removal", 1000, remove, false, true, SecretStore::Kind::file}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.op == get || row.op == remove)
            keychain.set("signed in", "tokens");
        int probes = 0;
        SecretStoreSelector selector(
            [&](std::chrono::milliseconds timeout) {
                return ++probes <= row.missedProbes ? nullptr : SecretServiceBackend::connect(timeout);
            },
            std::chrono::milliseconds(0));
        const auto first = selector.select();
        EXPECT_EQ(first->kind(), SecretStore::Kind::file);
        if (row.op != none) {
            const bool succeeded = row.op == set   ? first->set("tokens", "signed in")
                                   : row.op == get ? first->get("tokens").has_value()
                                                   : first->remove("tokens");
            EXPECT_EQ(succeeded, row.succeeds);
        }
        EXPECT_FALSE(std::filesystem::exists(SecretFileBackend::defaultPath()))
            << "no file while a keyring is on the bus";
        EXPECT_EQ(keychain.get("tokens"), row.storedAfter ? std::optional<std::string>("signed in") : std::nullopt);
        EXPECT_EQ(selector.select()->kind(), row.later);
        keychain.remove("tokens");
    }
}

}  // namespace
}  // namespace trayline

#include "core/platform/secret_service_backend.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <condition_variable>
#include <cstdlib>
#include <thread>

namespace trayline {

namespace {

// ---- RAII owners for the GLib and libsecret handles used here ----------------------------------

template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* p) const {
        if (p)
            Free(p);
    }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, FreeWith<g_object_unref>>;
using GHashTablePtr = std::unique_ptr<GHashTable, FreeWith<g_hash_table_unref>>;
using GVariantPtr = std::unique_ptr<GVariant, FreeWith<g_variant_unref>>;
using SecretValuePtr = std::unique_ptr<SecretValue, FreeWith<secret_value_unref>>;
using GCharPtr = std::unique_ptr<gchar, FreeWith<g_free>>;

// A GError out-parameter that frees whatever was stored in it.
class ErrorSlot {
public:
    ErrorSlot() = default;
    ~ErrorSlot() {
        if (error_)
            g_error_free(error_);
    }
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    GError** out() { return &error_; }
    explicit operator bool() const { return error_ != nullptr; }

private:
    GError* error_ = nullptr;
};

// A list of SecretItem references (as returned by secret_service_search_sync).
struct ItemListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListFree>;

// Cancels a GCancellable when a deadline passes, unless destroyed first. This bounds the calls
// that take no time-out of their own (connecting and authenticating to the bus).
class Watchdog {
public:
    Watchdog(GCancellable* cancellable, std::chrono::steady_clock::time_point deadline)
        : thread_([this, cancellable, deadline] {
              std::unique_lock lock(mutex_);
              if (!cv_.wait_until(lock, deadline, [this] { return done_; }))
                  g_cancellable_cancel(cancellable);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;  // last: starts after the members it uses exist
};

// ---- the item form ------------------------------------------------------------------------------

const SecretSchema* schema() {
    static const SecretSchema s = [] {
        SecretSchema x{};
        x.name = "com.brindle.Trayline";
        // Items written by others (secret-tool, other programs) carry no xdg:schema attribute;
        // they must still be found.
        x.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        x.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        x.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        x.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return x;
    }();
    return &s;
}

GHashTablePtr attributesFor(const std::string& account) {
    const std::string service(kSecretService);
    return GHashTablePtr(secret_attributes_build(schema(), "service", service.c_str(), "account",
                                                 account.c_str(), nullptr));
}

// Every item of the account, locked ones unlocked on the way (the keyring may ask the user);
// nullopt when the search itself failed.
std::optional<ItemList> searchAllUnlocking(SecretService* service, const std::string& account) {
    auto attributes = attributesFor(account);
    ErrorSlot error;
    ItemList items(secret_service_search_sync(
        service, schema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), nullptr, error.out()));
    if (error)
        return std::nullopt;
    return items;
}

constexpr const char* kBusName = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";

}  // namespace

struct SecretServiceBackend::Handles {
    GObjectPtr<SecretService> service;
};

std::string SecretServiceBackend::sessionBusAddress() {
    // Checked first so that an unset or empty variable never triggers GLib's X11 autolaunch when
    // the caller only wants a cache key.
    if (const char* v = std::getenv("DBUS_SESSION_BUS_ADDRESS"); v && *v)
        return v;
    ErrorSlot error;
    GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    return address ? std::string(address.get()) : std::string();
}

namespace {

// A private connection to the bus at `address`, closed again when it goes: a bus that hangs or
// has no keyring never becomes GLib's process-wide session connection (whose exit-on-close would
// end the process with it). Every call on it is bounded by one deadline.
class ProbeConnection {
public:
    ProbeConnection(const std::string& address, std::chrono::milliseconds timeout)
        : deadline_(std::chrono::steady_clock::now() + timeout),
          cancellable_(g_cancellable_new()),
          watchdog_(cancellable_.get(), deadline_) {
        ErrorSlot error;
        connection_.reset(g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, cancellable_.get(), error.out()));
    }
    ~ProbeConnection() {
        if (connection_)
            g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
    }
    ProbeConnection(const ProbeConnection&) = delete;
    ProbeConnection& operator=(const ProbeConnection&) = delete;

    explicit operator bool() const { return connection_ != nullptr; }
    GCancellable* cancellable() const { return cancellable_.get(); }

    // The reply, or nullptr on an error or when the deadline passes.
    GVariantPtr call(const char* destination, const char* path, const char* interface,
                     const char* method, GVariant* parameters, const GVariantType* replyType) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        ErrorSlot error;
        return GVariantPtr(g_dbus_connection_call_sync(
            connection_.get(), destination, path, interface, method, parameters, replyType,
            G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(std::max<std::chrono::milliseconds::rep>(left.count(), 1)),
            cancellable_.get(), error.out()));
    }

private:
    std::chrono::steady_clock::time_point deadline_;
    GObjectPtr<GCancellable> cancellable_;
    Watchdog watchdog_;
    GObjectPtr<GDBusConnection> connection_;
};

constexpr const char* kBusDaemon = "org.freedesktop.DBus";

}  // namespace

bool SecretServiceBackend::isPresent(const std::string& address, std::chrono::milliseconds timeout) {
    if (address.empty())
        return false;
    ProbeConnection bus(address, timeout);
    if (!bus)
        return false;
    const auto owned = bus.call(kBusDaemon, "/org/freedesktop/DBus", kBusDaemon, "NameHasOwner",
                                g_variant_new("(s)", kBusName), G_VARIANT_TYPE("(b)"));
    gboolean hasOwner = FALSE;
    if (owned)
        g_variant_get(owned.get(), "(b)", &hasOwner);
    if (hasOwner)
        return true;
    const auto activatable = bus.call(kBusDaemon, "/org/freedesktop/DBus", kBusDaemon,
                                      "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"));
    if (!activatable)
        return false;
    GVariantPtr names(g_variant_get_child_value(activatable.get(), 0));
    gsize count = 0;
    const gchar** list = g_variant_get_strv(names.get(), &count);
    bool found = false;
    for (gsize i = 0; i < count && !found; ++i)
        found = std::string_view(list[i]) == kBusName;
    g_free(list);
    return found;
}

std::shared_ptr<SecretServiceBackend> SecretServiceBackend::connect(
    std::chrono::milliseconds timeout) {
    const std::string address = sessionBusAddress();
    if (address.empty())
        return nullptr;
    ProbeConnection probe(address, timeout);
    if (!probe)
        return nullptr;
    // Does a Secret Service answer? Calling it by name also starts a D-Bus-activatable one.
    if (!probe.call(kBusName, kServicePath, "org.freedesktop.DBus.Properties", "Get",
                    g_variant_new("(ss)", kServiceInterface, "Collections"), G_VARIANT_TYPE("(v)")))
        return nullptr;

    // libsecret's own proxy, with its transfer session opened now so the first get/set does not
    // pay for it. libsecret always builds it on GLib's shared session-bus connection (its
    // SecretService constructor forces the bus type), which follows DBUS_SESSION_BUS_ADDRESS as
    // long as nothing else in the process still holds an earlier connection.
    auto handles = std::make_unique<Handles>();
    ErrorSlot error;
    handles->service.reset(secret_service_open_sync(
        SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, probe.cancellable(), error.out()));
    if (!handles->service)
        return nullptr;
    // A keyring helper must never be the reason the process ends when the bus goes away.
    g_dbus_connection_set_exit_on_close(
        g_dbus_proxy_get_connection(G_DBUS_PROXY(handles->service.get())), FALSE);
    return std::shared_ptr<SecretServiceBackend>(new SecretServiceBackend(std::move(handles)));
}

SecretServiceBackend::SecretServiceBackend(std::unique_ptr<Handles> handles)
    : handles_(std::move(handles)) {}

SecretServiceBackend::~SecretServiceBackend() = default;

bool SecretServiceBackend::isConnected() const {
    if (!handles_ || !handles_->service)
        return false;
    GDBusConnection* connection =
        g_dbus_proxy_get_connection(G_DBUS_PROXY(handles_->service.get()));
    return connection && !g_dbus_connection_is_closed(connection);
}

std::optional<std::string> SecretServiceBackend::get(const std::string& account) {
    std::lock_guard lock(mutex_);
    auto attributes = attributesFor(account);
    ErrorSlot error;
    // Unlocks the collection if needed (the keyring may ask the user), as a keychain read would.
    ItemList items(secret_service_search_sync(
        handles_->service.get(), schema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS), nullptr,
        error.out()));
    if (error || !items)
        return std::nullopt;
    SecretValuePtr value(secret_item_get_secret(SECRET_ITEM(items->data)));
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar* data = secret_value_get(value.get(), &length);
    if (!data && length != 0)
        return std::nullopt;
    return std::string(data ? data : "", length);
}

bool SecretServiceBackend::set(const std::string& account, const std::string& data) {
    std::lock_guard lock(mutex_);
    auto attributes = attributesFor(account);
    SecretValuePtr value(
        secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain"));

    // Update: replace the secret of every existing item, keeping the item (its label, attributes,
    // creation time) as it is. Only when the search succeeds and finds none is an item added.
    auto items = searchAllUnlocking(handles_->service.get(), account);
    if (!items)
        return false;
    if (*items) {
        bool all = true;
        for (GList* l = items->get(); l; l = l->next) {
            ErrorSlot error;
            all = secret_item_set_secret_sync(SECRET_ITEM(l->data), value.get(), nullptr,
                                              error.out()) &&
                  all;
        }
        return all;
    }

    const std::string label = "Trayline " + account;
    ErrorSlot error;
    return secret_service_store_sync(handles_->service.get(), schema(), attributes.get(),
                                     SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr,
                                     error.out());
}

bool SecretServiceBackend::remove(const std::string& account) {
    std::lock_guard lock(mutex_);
    // Not secret_service_clear_sync: it passes over locked items, so a sign-out with a locked
    // keyring would leave the tokens for the next unlocking read to find.
    auto items = searchAllUnlocking(handles_->service.get(), account);
    if (!items)
        return false;
    bool all = true;
    for (GList* l = items->get(); l; l = l->next) {
        ErrorSlot error;
        all = secret_item_delete_sync(SECRET_ITEM(l->data), nullptr, error.out()) && all;
    }
    return all;
}

}  // namespace trayline

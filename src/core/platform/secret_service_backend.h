#pragma once

// The desktop keyring through the freedesktop Secret Service API (libsecret), with the exact item
// form: schema "com.brindle.Trayline" (not matched on lookup), attributes
// service = "com.brindle.Trayline" and account = the item name, label "Trayline " + account, in
// the default collection. `secret-tool lookup service com.brindle.Trayline account tokens` reads
// what this writes, and the reverse.

#include "core/platform/secret_store.h"

#include <memory>
#include <mutex>

namespace trayline {

class SecretServiceBackend final : public SecretStore {
public:
    // Checks, on a private connection to the session bus named by the environment
    // (DBUS_SESSION_BUS_ADDRESS, else GLib's default lookup), that a Secret Service answers, then
    // opens libsecret's service proxy. Returns nullptr when there is no bus or no service answers
    // within `timeout`; never hangs longer than that.
    static std::shared_ptr<SecretServiceBackend> connect(std::chrono::milliseconds timeout);
    // The session-bus address GLib would use; the empty text when none can be found.
    static std::string sessionBusAddress();
    // Whether the bus at `address` has a Secret Service, running or ready to be started, whether
    // or not it answers yet. False when the bus itself does not answer within `timeout`.
    static bool isPresent(const std::string& address, std::chrono::milliseconds timeout);

    ~SecretServiceBackend() override;

    std::optional<std::string> get(const std::string& account) override;
    bool set(const std::string& account, const std::string& data) override;
    // Unlocks what it finds (the keyring may ask the user) and deletes every item: a locked item is
    // never silently left behind.
    bool remove(const std::string& account) override;
    Kind kind() const override { return Kind::secretService; }

    // False once the bus connection has closed (the bus or the keyring daemon went away).
    bool isConnected() const;

    struct Handles;  // GLib objects; defined in the .cpp so no GLib header leaks out

private:
    explicit SecretServiceBackend(std::unique_ptr<Handles> handles);

    std::unique_ptr<Handles> handles_;
    // libsecret's synchronous calls on one SecretService are serialised: the session negotiation
    // inside it is not meant for concurrent first use.
    std::mutex mutex_;
};

}  // namespace trayline

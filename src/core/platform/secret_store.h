#pragma once

// The per-user secret store that stands in for the macOS keychain: small
// secrets addressed by an account name under the one service "com.brindle.Trayline".
//
// Two backends: the desktop keyring through the Secret Service API (libsecret), and a private
// file `$XDG_DATA_HOME/com.brindle.Trayline/keychain.json` used when that file already exists or
// when no Secret Service answers within two seconds. Keychain sits on top of
// this and adds the silent-failure and UTF-8 rules; the store itself deals in byte strings.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace trayline {

inline constexpr std::string_view kSecretService = "com.brindle.Trayline";

class SecretServiceBackend;

class SecretStore {
public:
    enum class Kind { secretService, file, other };

    virtual ~SecretStore() = default;

    // The item's data; nullopt when there is no item or it cannot be read.
    virtual std::optional<std::string> get(const std::string& account) = 0;
    // Replaces the data of every existing item of `account`; creates the item only when there is
    // none. Returns false when nothing was written (the previous item, if any, stays as it was).
    virtual bool set(const std::string& account, const std::string& data) = 0;
    // Removes the item; removing a missing item does nothing.
    virtual void remove(const std::string& account) = 0;

    virtual Kind kind() const { return Kind::other; }

    // The store for the current user, as the process's one SecretStoreSelector chooses it.
    static std::shared_ptr<SecretStore> forCurrentUser();

    static constexpr std::chrono::milliseconds probeTimeout{2000};
};

// Where a keychain finds its store at each call.
using SecretStoreProvider = std::function<std::shared_ptr<SecretStore>()>;

// Chooses the store for the current user at each call, from the current environment:
//  1. the file backend when keychain.json exists under the current $XDG_DATA_HOME;
//  2. the Secret Service when one answers on the session bus within probeTimeout;
//  3. otherwise (no bus, no service, no answer in time) the file backend.
// The probe's outcome is remembered per session-bus address (and dropped when the bus
// connection closes), so only the first call pays for it. Never throws.
class SecretStoreSelector {
public:
    std::shared_ptr<SecretStore> select();

private:
    // Held across the probe on purpose: concurrent first callers wait for one probe.
    std::mutex mutex_;
    bool probed_ = false;
    std::string busAddress_;
    std::shared_ptr<SecretServiceBackend> service_;  // what answered there; nullptr: nothing
};

}  // namespace trayline

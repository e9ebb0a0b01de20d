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
    // Removes every item of `account`; removing a missing item does nothing. Returns false when an
    // item could not be removed (it may still be there).
    virtual bool remove(const std::string& account) = 0;

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
//  3. otherwise (no bus, no service, no answer in time) the file backend, which creates its file
//     only while no Secret Service exists on the bus: a keyring daemon that was merely slow to
//     start (at login) must not pin every later run to the file. While the file does not exist,
//     each read, write or removal probes the keyring once more and goes there when it answers
//     now; one that is on the bus but does not answer gets no write and no removal.
// The probe's outcome is remembered per session-bus address (and dropped when the bus
// connection closes); a probe that found nothing is repeated once `retryAfter` has passed, so
// only the first call in a while pays for it. Never throws.
class SecretStoreSelector {
public:
    // Reaches the keyring within the time given, or returns nullptr.
    using Connect = std::function<std::shared_ptr<SecretServiceBackend>(std::chrono::milliseconds)>;

    SecretStoreSelector();
    explicit SecretStoreSelector(Connect connect,
                                 std::chrono::milliseconds retryAfter = std::chrono::seconds(30));

    std::shared_ptr<SecretStore> select();

    struct State;  // shared with the file store handed out, which may probe again

private:
    std::shared_ptr<State> state_;
};

}  // namespace trayline

#pragma once

// Keychain: a wrapper over the per-user secret store with three operations on the items of the
// service "com.brindle.Trayline". Every failure is silent: reads degrade to absent, writes are not
// reported. Callable from any thread; the calls block.

#include "core/platform/secret_store.h"

#include <optional>
#include <string>

namespace trayline {

class Keychain {
public:
    // `store` is asked at every call, so the choice follows the environment.
    explicit Keychain(SecretStoreProvider store = SecretStore::forCurrentUser) : store_(std::move(store)) {}

    // The item's data as text; nullopt when there is no item, it cannot be read, or its bytes are
    // not valid UTF-8. An item with empty data yields "" (present, empty).
    std::optional<std::string> get(const std::string& account) const;
    // Replaces the data of an existing item; adds the item only when there is none.
    void set(const std::string& value, const std::string& account) const;
    // Removes the item (`delete` is a keyword); a missing item is not an error. Returns false when
    // the item could not be removed (a locked keyring whose unlock was refused, say): unlike the
    // other failures, a sign-out must be able to say that it did not happen.
    bool remove(const std::string& account) const;

private:
    SecretStoreProvider store_;
};

}  // namespace trayline

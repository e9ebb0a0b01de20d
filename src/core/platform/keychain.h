#pragma once

// Keychain: a stateless wrapper over the per-user secret store with three
// operations on the items of the service "com.brindle.Trayline". Every failure is silent: reads
// degrade to absent, writes are not reported. Callable from any thread; the calls block.

#include <optional>
#include <string>

namespace trayline {

class Keychain {
public:
    Keychain() = delete;

    // The item's data as text; nullopt when there is no item, it cannot be read, or its bytes are
    // not valid UTF-8. An item with empty data yields "" (present, empty).
    static std::optional<std::string> get(const std::string& account);
    // Replaces the data of an existing item; adds the item only when there is none.
    static void set(const std::string& value, const std::string& account);
    // Removes the item (`delete` is a keyword); a missing item is not an error.
    static void remove(const std::string& account);
};

}  // namespace trayline

#include "core/platform/keychain.h"

#include "core/platform/text.h"

namespace trayline {

std::optional<std::string> Keychain::get(const std::string& account) const {
    try {
        auto data = store_()->get(account);
        if (!data || !text::isValidUtf8(*data))
            return std::nullopt;
        return data;
    } catch (...) {
        return std::nullopt;
    }
}

void Keychain::set(const std::string& value, const std::string& account) const {
    try {
        store_()->set(account, value);
    } catch (...) {
    }
}

bool Keychain::remove(const std::string& account) const {
    try {
        return store_()->remove(account);
    } catch (...) {
        return false;
    }
}

}  // namespace trayline

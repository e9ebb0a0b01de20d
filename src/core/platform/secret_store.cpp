#include "core/platform/secret_store.h"

#include "core/platform/secret_file_backend.h"
#include "core/platform/secret_service_backend.h"

namespace trayline {

std::shared_ptr<SecretStore> SecretStore::forCurrentUser() {
    static SecretStoreSelector selector;
    return selector.select();
}

std::shared_ptr<SecretStore> SecretStoreSelector::select() {
    std::lock_guard lock(mutex_);
    try {
        auto file = SecretFileBackend::defaultPath();
        std::error_code ec;
        if (std::filesystem::exists(file, ec))
            return std::make_shared<SecretFileBackend>(std::move(file));

        const std::string address = SecretServiceBackend::sessionBusAddress();
        const bool stale = service_ && !service_->isConnected();
        if (!probed_ || busAddress_ != address || stale) {
            service_.reset();
            service_ = address.empty() ? nullptr : SecretServiceBackend::connect(SecretStore::probeTimeout);
            busAddress_ = address;
            probed_ = true;
        }
        if (service_)
            return service_;
        return std::make_shared<SecretFileBackend>(std::move(file));
    } catch (...) {
        // Only allocation can throw here; fall back to the file as a keyring-less machine would.
        return std::make_shared<SecretFileBackend>(SecretFileBackend::defaultPath());
    }
}

}  // namespace trayline

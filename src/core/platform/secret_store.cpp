#include "core/platform/secret_store.h"

#include "core/platform/secret_file_backend.h"
#include "core/platform/secret_service_backend.h"

#include <mutex>

namespace trayline {

namespace {

struct Selection {
    std::mutex mutex;
    std::shared_ptr<SecretStore> injected;
    // The remembered probe: for which bus address, and what answered there (nullptr: nothing).
    bool probed = false;
    std::string busAddress;
    std::shared_ptr<SecretServiceBackend> service;
};

Selection& selection() {
    static Selection s;
    return s;
}

}  // namespace

std::shared_ptr<SecretStore> SecretStore::forCurrentUser() {
    auto& s = selection();
    // Held across the probe on purpose: concurrent first callers wait for one probe.
    std::lock_guard lock(s.mutex);
    if (s.injected)
        return s.injected;
    try {
        auto file = SecretFileBackend::defaultPath();
        std::error_code ec;
        if (std::filesystem::exists(file, ec))
            return std::make_shared<SecretFileBackend>(std::move(file));

        const std::string address = SecretServiceBackend::sessionBusAddress();
        const bool stale = s.service && !s.service->isConnected();
        if (!s.probed || s.busAddress != address || stale) {
            s.service.reset();
            s.service = address.empty() ? nullptr : SecretServiceBackend::connect(probeTimeout);
            s.busAddress = address;
            s.probed = true;
        }
        if (s.service)
            return s.service;
        return std::make_shared<SecretFileBackend>(std::move(file));
    } catch (...) {
        // Only allocation can throw here; fall back to the file as a keyring-less machine would.
        return std::make_shared<SecretFileBackend>(SecretFileBackend::defaultPath());
    }
}

void SecretStore::setForTesting(std::shared_ptr<SecretStore> store) {
    auto& s = selection();
    std::lock_guard lock(s.mutex);
    s.injected = std::move(store);
}

void SecretStore::resetSelection() {
    auto& s = selection();
    std::shared_ptr<SecretServiceBackend> old;
    {
        std::lock_guard lock(s.mutex);
        old = std::move(s.service);
        s.probed = false;
        s.busAddress.clear();
    }
    // `old` closes its connection here, outside the lock (unless a caller still holds it).
}

}  // namespace trayline

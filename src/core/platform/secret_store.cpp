#include "core/platform/secret_store.h"

#include "core/platform/secret_file_backend.h"
#include "core/platform/secret_service_backend.h"

namespace trayline {

struct SecretStoreSelector::State {
    Connect connect;
    std::chrono::milliseconds retryAfter;

    // Held across the probe on purpose: concurrent first callers wait for one probe.
    std::mutex mutex;
    bool probed = false;
    std::chrono::steady_clock::time_point probedAt;
    std::string busAddress;
    std::shared_ptr<SecretServiceBackend> service;  // what answered there; nullptr: nothing

    // The keyring on the bus at `address`, probed afresh when `force`, when nothing is known for
    // that address yet, when its connection closed, or when the last probe found nothing a while
    // ago. Call with `mutex` held.
    std::shared_ptr<SecretServiceBackend> keyring(const std::string& address, bool force) {
        const bool stale = service && !service->isConnected();
        const bool retry = !service && std::chrono::steady_clock::now() - probedAt >= retryAfter;
        if (force || !probed || busAddress != address || stale || retry) {
            service.reset();
            service = address.empty() ? nullptr : connect(SecretStore::probeTimeout);
            busAddress = address;
            probed = true;
            probedAt = std::chrono::steady_clock::now();
        }
        return service;
    }
};

namespace {

// The file store chosen because no keyring answered. Reads and removals go to the file; a write
// that would create it first looks for a keyring again.
class FallbackFileStore final : public SecretStore {
public:
    FallbackFileStore(std::filesystem::path file, std::string busAddress,
                      std::shared_ptr<SecretStoreSelector::State> selector)
        : file_(std::move(file)), busAddress_(std::move(busAddress)), selector_(std::move(selector)) {}

    std::optional<std::string> get(const std::string& account) override { return file_.get(account); }
    bool remove(const std::string& account) override { return file_.remove(account); }
    Kind kind() const override { return Kind::file; }

    bool set(const std::string& account, const std::string& data) override {
        std::error_code ec;
        if (!std::filesystem::exists(file_.path(), ec) && !busAddress_.empty()) {
            std::shared_ptr<SecretServiceBackend> keyring;
            {
                std::lock_guard lock(selector_->mutex);
                keyring = selector_->keyring(busAddress_, /*force=*/true);
            }
            if (keyring)
                return keyring->set(account, data);
            // There but not answering: better nothing stored than a file that outlives the delay.
            if (SecretServiceBackend::isPresent(busAddress_, SecretStore::probeTimeout))
                return false;
        }
        return file_.set(account, data);
    }

private:
    SecretFileBackend file_;
    std::string busAddress_;
    std::shared_ptr<SecretStoreSelector::State> selector_;
};

}  // namespace

std::shared_ptr<SecretStore> SecretStore::forCurrentUser() {
    static SecretStoreSelector selector;
    return selector.select();
}

SecretStoreSelector::SecretStoreSelector() : SecretStoreSelector(&SecretServiceBackend::connect) {}

SecretStoreSelector::SecretStoreSelector(Connect connect, std::chrono::milliseconds retryAfter)
    : state_(std::make_shared<State>()) {
    state_->connect = std::move(connect);
    state_->retryAfter = retryAfter;
}

std::shared_ptr<SecretStore> SecretStoreSelector::select() {
    try {
        auto file = SecretFileBackend::defaultPath();
        std::error_code ec;
        if (std::filesystem::exists(file, ec))
            return std::make_shared<SecretFileBackend>(std::move(file));

        std::string address = SecretServiceBackend::sessionBusAddress();
        std::lock_guard lock(state_->mutex);
        if (auto service = state_->keyring(address, /*force=*/false))
            return service;
        return std::make_shared<FallbackFileStore>(std::move(file), std::move(address), state_);
    } catch (...) {
        // Only allocation can throw here; fall back to the file as a keyring-less machine would.
        return std::make_shared<SecretFileBackend>(SecretFileBackend::defaultPath());
    }
}

}  // namespace trayline

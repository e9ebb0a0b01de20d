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

// The file store chosen because no keyring answered. While its file does not exist, every call
// looks for a keyring again first: a keyring that was merely slow to start holds the real items,
// so a read from the missing file would look signed out, and a removal from it would report a
// sign-out that never happened.
class FallbackFileStore final : public SecretStore {
public:
    FallbackFileStore(std::filesystem::path file, std::string busAddress,
                      std::shared_ptr<SecretStoreSelector::State> selector)
        : file_(std::move(file)), busAddress_(std::move(busAddress)), selector_(std::move(selector)) {}

    Kind kind() const override { return Kind::file; }

    std::optional<std::string> get(const std::string& account) override {
        const auto route = this->route();
        if (route.keyring)
            return route.keyring->get(account);
        return route.refuse ? std::nullopt : file_.get(account);
    }
    bool set(const std::string& account, const std::string& data) override {
        const auto route = this->route();
        if (route.keyring)
            return route.keyring->set(account, data);
        return !route.refuse && file_.set(account, data);
    }
    bool remove(const std::string& account) override {
        const auto route = this->route();
        if (route.keyring)
            return route.keyring->remove(account);
        return !route.refuse && file_.remove(account);
    }

private:
    // Where a call goes: the keyring when one answers now; nowhere when one is on the bus but does
    // not answer (better nothing stored or removed than a file that outlives the delay, or a
    // removal that did not happen); otherwise the file.
    struct Route {
        std::shared_ptr<SecretServiceBackend> keyring;
        bool refuse = false;
    };
    Route route() {
        std::error_code ec;
        if (busAddress_.empty() || std::filesystem::exists(file_.path(), ec))
            return {};
        Route route;
        {
            std::lock_guard lock(selector_->mutex);
            route.keyring = selector_->keyring(busAddress_, /*force=*/true);
        }
        if (!route.keyring)
            route.refuse = SecretServiceBackend::isPresent(busAddress_, SecretStore::probeTimeout);
        return route;
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

#pragma once

// The private-file secret store: one JSON object
// {"<account>": "<data>", ...} in a 0600 file inside a 0700 directory, replaced atomically under
// an advisory lock so two processes never lose each other's items.

#include "core/platform/secret_store.h"

#include <filesystem>

namespace trayline {

class SecretFileBackend final : public SecretStore {
public:
    explicit SecretFileBackend(std::filesystem::path file);

    // $XDG_DATA_HOME/com.brindle.Trayline/keychain.json, evaluated at each call.
    static std::filesystem::path defaultPath();

    std::optional<std::string> get(const std::string& account) override;
    // Data that JSON cannot carry (not valid UTF-8) is refused. An existing file that is not a
    // JSON object is kept aside as "keychain.json.bad" before a fresh one is written.
    bool set(const std::string& account, const std::string& data) override;
    // Never creates the file (an existing file pins this backend; a missing one must stay missing).
    bool remove(const std::string& account) override;
    Kind kind() const override { return Kind::file; }

    const std::filesystem::path& path() const { return file_; }

    // The directory holding secrets is ours alone: creates it 0700, tightens it if it is wider.
    static bool ensurePrivateDirectory(const std::filesystem::path& dir);

private:
    std::filesystem::path file_;
};

}  // namespace trayline

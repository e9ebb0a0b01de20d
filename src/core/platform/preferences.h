#pragma once

// The per-user preferences domain: one JSON object in a file, values keeping their JSON types.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace trayline {

class PreferencesFile {
public:
    explicit PreferencesFile(std::filesystem::path path);

    // The domain of this application under the current $XDG_CONFIG_HOME.
    static PreferencesFile forCurrentUser();

    // The stored object; a missing, unreadable or non-object file reads as empty. Never writes.
    nlohmann::json read() const;
    // The same, shared: settings are read on every use, so re-parsing waits for a change of the
    // file (inode, size or modification time).
    std::shared_ptr<const nlohmann::json> snapshot() const;
    std::optional<nlohmann::json> value(const std::string& key) const;

    // Read-modify-write under a lock, replacing the file atomically. A file that cannot be read as
    // an object is first kept aside as "<name>.bad" instead of being lost. Throws std::system_error
    // when the file cannot be written.
    void set(const std::string& key, nlohmann::json value);
    // The same write, leaving the key absent (so its reader's default applies again).
    void remove(const std::string& key);

    const std::filesystem::path& path() const { return path_; }

private:
    void update(const std::function<void(nlohmann::json&)>& change);

    std::filesystem::path path_;
};

}  // namespace trayline

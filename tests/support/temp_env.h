#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace trayline::test {

// Points XDG_CONFIG_HOME and XDG_DATA_HOME at a fresh private directory for the lifetime of the
// object, so a test never sees or touches the developer's real settings or secrets.
class TempProfile {
public:
    TempProfile();
    ~TempProfile();
    TempProfile(const TempProfile&) = delete;
    TempProfile& operator=(const TempProfile&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path configHome() const { return root_ / "config"; }
    std::filesystem::path dataHome() const { return root_ / "data"; }

private:
    std::filesystem::path root_;
    std::pair<const char*, std::optional<std::string>> saved_[2] = {{"XDG_CONFIG_HOME", {}}, {"XDG_DATA_HOME", {}}};
};

// Writes a whole file, creating parent directories.
void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

}  // namespace trayline::test

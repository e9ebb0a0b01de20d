#include "core/platform/secret_file_backend.h"

#include "core/platform/atomic_file.h"
#include "core/platform/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <nlohmann/json.hpp>

namespace trayline {

namespace {

using nlohmann::json;

// nullopt: the file exists but is not a JSON object. An absent file reads as an empty object.
std::optional<json> readItems(const std::filesystem::path& file, bool* exists = nullptr) {
    auto text = readWholeFile(file);
    if (exists)
        *exists = text.has_value();
    if (!text)
        return json::object();
    json parsed = json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object())
        return std::nullopt;
    return parsed;
}

}  // namespace

bool SecretFileBackend::ensurePrivateDirectory(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0)
        return false;
    return true;
}

SecretFileBackend::SecretFileBackend(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path SecretFileBackend::defaultPath() {
    return paths::dataHome() / std::string(kSecretService) / "keychain.json";
}

std::optional<std::string> SecretFileBackend::get(const std::string& account) {
    try {
        // Writers replace the whole file by rename, so a reader needs no lock to see a whole file.
        auto items = readItems(file_);
        if (!items)
            return std::nullopt;
        auto it = items->find(account);
        if (it == items->end() || !it->is_string())
            return std::nullopt;
        return it->get<std::string>();
    } catch (...) {
        return std::nullopt;
    }
}

bool SecretFileBackend::set(const std::string& account, const std::string& data) {
    try {
        if (!ensurePrivateDirectory(file_.parent_path()))
            return false;
        FileLock lock(file_);
        auto items = readItems(file_);
        if (!items) {
            // Keep what we cannot read rather than destroy it; the rename keeps its 0600 mode.
            std::error_code ec;
            std::filesystem::rename(file_, file_.string() + ".bad", ec);
            if (ec)
                return false;
            items = json::object();
        }
        (*items)[account] = data;
        // Throws (and so writes nothing) when `data` is not valid UTF-8.
        const std::string text = items->dump(-1, ' ', false, json::error_handler_t::strict);
        writeFileAtomically(file_, text, 0600);
        return true;
    } catch (...) {
        return false;
    }
}

bool SecretFileBackend::remove(const std::string& account) {
    try {
        if (!std::filesystem::exists(file_))
            return true;
        FileLock lock(file_);
        bool exists = false;
        auto items = readItems(file_, &exists);
        if (!exists)
            return true;
        if (!items)
            return false;  // unreadable: whatever it holds stays
        if (!items->contains(account))
            return true;
        items->erase(account);
        writeFileAtomically(file_, items->dump(), 0600);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace trayline

#include "core/platform/preferences.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>

#include "core/platform/atomic_file.h"
#include "core/platform/paths.h"

namespace trayline {

namespace {

std::optional<nlohmann::json> parseObject(const std::string& text) {
    auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!j.is_object())
        return std::nullopt;
    return j;
}

}  // namespace

PreferencesFile::PreferencesFile(std::filesystem::path path) : path_(std::move(path)) {}

PreferencesFile PreferencesFile::forCurrentUser() {
    return PreferencesFile(paths::configHome() / "com.brindle.trayline" / "preferences.json");
}

std::shared_ptr<const nlohmann::json> PreferencesFile::snapshot() const {
    // Settings are read on every use; a stat is far cheaper than a parse, so keep the last parse
    // of each file keyed on what a replace would change (inode, size, modification time).
    struct Entry {
        ino_t inode = 0;
        off_t size = -1;
        timespec mtime{};
        std::shared_ptr<const nlohmann::json> value;
    };
    static std::mutex mutex;
    static std::map<std::filesystem::path, Entry> cache;

    static const auto empty = std::make_shared<const nlohmann::json>(nlohmann::json::object());
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0)
        return empty;
    {
        std::lock_guard lock(mutex);
        const auto it = cache.find(path_);
        if (it != cache.end() && it->second.inode == st.st_ino && it->second.size == st.st_size &&
            it->second.mtime.tv_sec == st.st_mtim.tv_sec &&
            it->second.mtime.tv_nsec == st.st_mtim.tv_nsec)
            return it->second.value;
    }
    auto result = empty;
    if (const auto text = readWholeFile(path_))
        if (auto obj = parseObject(*text))
            result = std::make_shared<const nlohmann::json>(std::move(*obj));
    std::lock_guard lock(mutex);
    cache[path_] = Entry{st.st_ino, st.st_size, st.st_mtim, result};
    return result;
}

nlohmann::json PreferencesFile::read() const { return *snapshot(); }

std::optional<nlohmann::json> PreferencesFile::value(const std::string& key) const {
    const auto obj = snapshot();
    const auto it = obj->find(key);
    if (it == obj->end())
        return std::nullopt;
    return *it;
}

void PreferencesFile::set(const std::string& key, nlohmann::json value) {
    update([&](nlohmann::json& obj) { obj[key] = std::move(value); });
}

void PreferencesFile::remove(const std::string& key) {
    update([&](nlohmann::json& obj) { obj.erase(key); });
}

void PreferencesFile::update(const std::function<void(nlohmann::json&)>& change) {
    FileLock lock(path_);
    nlohmann::json obj = nlohmann::json::object();
    if (const auto text = readWholeFile(path_)) {
        if (auto parsed = parseObject(*text)) {
            obj = std::move(*parsed);
        } else if (!text->empty()) {
            auto aside = path_;
            aside += ".bad";
            writeFileAtomically(aside, *text, 0600);
        }
    }
    change(obj);
    writeFileAtomically(path_, obj.dump(2) + "\n", 0600);
}

}  // namespace trayline

#include "core/settings/app_info.h"

#include <plist/plist.h>

#include <memory>

#include "core/platform/atomic_file.h"
#include "core/platform/paths.h"
#include "core/platform/text.h"

namespace trayline {

namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
struct CharFree {
    void operator()(char* p) const { std::free(p); }
};

}  // namespace

std::optional<std::filesystem::path> AppInfo::bundleContaining(const std::filesystem::path& executable) {
    const auto bin = executable.parent_path();
    const auto contents = bin.parent_path();
    const auto bundle = contents.parent_path();
    if (bin.filename() != "bin" || contents.filename() != "Contents" || bundle.extension() != ".app")
        return std::nullopt;
    return bundle;
}

std::optional<std::filesystem::path> AppInfo::currentBundle() {
    return bundleContaining(paths::executablePath());
}

std::optional<std::string> AppInfo::plistString(const std::filesystem::path& plist, const char* key) {
    const auto data = readWholeFile(plist);
    if (!data || data->empty() || data->size() > 16 * 1024 * 1024)
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(data->data(), static_cast<uint32_t>(data->size()), &root);
    const std::unique_ptr<void, PlistFree> owner(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    plist_t item = plist_dict_get_item(root, key);
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return std::nullopt;
    char* raw = nullptr;
    plist_get_string_val(item, &raw);
    const std::unique_ptr<char, CharFree> value(raw);
    return raw ? std::optional<std::string>(raw) : std::nullopt;
}

std::string AppInfo::versionOf(const std::optional<std::filesystem::path>& bundle) {
    if (!bundle)
        return "dev";
    return plistString(*bundle / "Contents" / "Info.plist", "CFBundleShortVersionString")
        .value_or("dev");
}

std::string AppInfo::changelogOf(const std::optional<std::filesystem::path>& bundle) {
    if (!bundle)
        return kNoChangelog;
    const auto text = readWholeFile(*bundle / "Contents" / "Resources" / "CHANGELOG.md");
    if (!text || !text::isValidUtf8(*text))
        return kNoChangelog;
    return *text;
}

std::string AppInfo::version() { return versionOf(currentBundle()); }
std::string AppInfo::changelog() { return changelogOf(currentBundle()); }

}  // namespace trayline

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

std::string changelogAt(const std::filesystem::path& file) {
    const auto text = readWholeFile(file);
    if (!text || !text::isValidUtf8(*text))
        return AppInfo::kNoChangelog;
    return *text;
}

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

std::optional<std::filesystem::path> AppInfo::packagePrefixContaining(const std::filesystem::path& executable) {
    const auto bin = executable.parent_path();
    if (bin.filename() != "bin" || bundleContaining(executable))
        return std::nullopt;
    const auto prefix = bin.parent_path();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(prefix / "share" / "applications" / kDesktopFileName, ec))
        return std::nullopt;
    return prefix;
}

std::optional<std::filesystem::path> AppInfo::currentPackagePrefix() {
    return packagePrefixContaining(paths::executablePath());
}

std::optional<std::filesystem::path> AppInfo::resourcesOf(const std::filesystem::path& executable) {
    if (const auto bundle = bundleContaining(executable))
        return *bundle / "Contents" / "Resources";
    if (const auto prefix = packagePrefixContaining(executable))
        return *prefix / "share";
    return std::nullopt;
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
    return bundle ? changelogAt(*bundle / "Contents" / "Resources" / "CHANGELOG.md") : kNoChangelog;
}

std::string AppInfo::version() {
    if (const auto bundle = currentBundle())
        return versionOf(bundle);
    return currentPackagePrefix() ? TRAYLINE_VERSION : "dev";
}

std::string AppInfo::changelog() {
    if (const auto bundle = currentBundle())
        return changelogOf(bundle);
    if (const auto prefix = currentPackagePrefix())
        return changelogAt(*prefix / "share" / "trayline" / "CHANGELOG.md");
    return kNoChangelog;
}

}  // namespace trayline

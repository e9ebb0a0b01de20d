#include "desktop/platform/login_item.h"

#include <cerrno>
#include <sstream>
#include <system_error>

#include "core/platform/atomic_file.h"
#include "core/platform/paths.h"
#include "core/settings/app_info.h"

namespace trayline {

void LoginItem::setEnabled(bool wanted) {
    const bool enabled = isEnabled();
    if (wanted && !enabled)
        registerItem();
    else if (!wanted && enabled)
        unregisterItem();
}

namespace {

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

// Characters that force quoting of an Exec argument.
bool isReserved(char c) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    return reserved.find(c) != std::string::npos;
}

// Calls `visit` with each key and value of the [Desktop Entry] group.
template <typename Visit>
void forEachEntryKey(const std::string& text, Visit visit) {
    std::istringstream lines(text);
    std::string line;
    bool inEntry = false;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.starts_with('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const auto eq = line.find('=');
        if (inEntry && eq != std::string::npos)
            visit(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
}

// What the entry runs: the package's menu entry's Exec for a package install, else the path.
std::string execFor(const std::filesystem::path& executable) {
    if (const auto prefix = AppInfo::packagePrefixContaining(executable))
        if (const auto text = readWholeFile(*prefix / "share" / "applications" / AppInfo::kDesktopFileName))
            if (auto exec = desktopEntryExec(*text); !exec.empty())
                return exec;
    return desktopExecArgument(executable.string());
}

}  // namespace

std::string desktopExecArgument(const std::string& program) {
    bool quote = program.empty();
    for (char c : program)
        quote = quote || isReserved(c);
    std::string arg;
    if (quote)
        arg += '"';
    for (char c : program) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            arg += '\\';
        arg += c;
        if (c == '%')
            arg += '%';  // a lone % would start a field code
    }
    if (quote)
        arg += '"';
    // The key's value is a string: its own escapes apply on top of the quoting.
    std::string value;
    for (char c : arg) {
        switch (c) {
            case '\\': value += "\\\\"; break;
            case '\n': value += "\\n"; break;
            case '\t': value += "\\t"; break;
            case '\r': value += "\\r"; break;
            default: value += c;
        }
    }
    return value;
}

XdgAutostartItem::XdgAutostartItem(std::filesystem::path executable, std::filesystem::path autostartDir)
    : executable_(executable.empty() ? paths::executablePath() : std::move(executable)),
      autostartDir_(std::move(autostartDir)) {}

std::filesystem::path XdgAutostartItem::entryPath() const {
    const auto dir = autostartDir_.empty() ? paths::configHome() / "autostart" : autostartDir_;
    return dir / kFileName;
}

bool XdgAutostartItem::isEnabled() const {
    const auto text = readWholeFile(entryPath());
    if (!text)
        return false;
    bool enabled = true;
    forEachEntryKey(*text, [&](const std::string& key, const std::string& value) {
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            enabled = false;
    });
    return enabled;
}

std::string desktopEntryExec(const std::string& text) {
    std::string exec;
    forEachEntryKey(text, [&](const std::string& key, const std::string& value) {
        if (key == "Exec" && exec.empty())
            exec = value;
    });
    return exec;
}

std::string XdgAutostartItem::entryText() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Trayline\n"
           "Comment=ServiceNow task queue in the tray\n"
           "Exec=" + execFor(executable_) + "\n"
           "Icon=com.brindle.trayline\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void XdgAutostartItem::registerItem() {
    const auto path = entryPath();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec)
        throw std::system_error(ec, "cannot create " + path.parent_path().string());
    writeFileAtomically(path, entryText());
}

void XdgAutostartItem::unregisterItem() {
    const auto path = entryPath();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec)
        throw std::system_error(ec, "cannot remove " + path.string());
}

}  // namespace trayline

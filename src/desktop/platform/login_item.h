#pragma once

// Launch at login. The login-item service's own state is the setting: nothing is stored by us, it
// is read whenever the settings sheet opens and written when the sheet saves.

#include <filesystem>
#include <string>

namespace trayline {

class LoginItem {
public:
    virtual ~LoginItem() = default;

    // Registered and allowed to run at login.
    virtual bool isEnabled() const = 0;

    // Registers or unregisters only when the current state differs from `wanted`, so asking for
    // the state already in place never touches the service. Throws the service's refusal
    // unchanged (what() is its text).
    void setEnabled(bool wanted);

protected:
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

// An XDG autostart entry for the running executable: enabled means the entry exists and is
// neither hidden nor switched off. Register writes the entry atomically; unregister removes it.
// A copy a package installed starts at login as its menu entry does (the installed desktop file's
// Exec), so an upgrade or a move of the package keeps the entry working.
class XdgAutostartItem : public LoginItem {
public:
    // `executable`: what the entry starts (the running one by default); `autostartDir`: where the
    // entry lives ($XDG_CONFIG_HOME/autostart by default, read at every call).
    explicit XdgAutostartItem(std::filesystem::path executable = {}, std::filesystem::path autostartDir = {});

    bool isEnabled() const override;
    std::filesystem::path entryPath() const;
    // The entry's whole text.
    std::string entryText() const;

    static constexpr const char* kFileName = "com.brindle.trayline.desktop";

protected:
    void registerItem() override;
    void unregisterItem() override;

private:
    std::filesystem::path executable_;
    std::filesystem::path autostartDir_;
};

// The Exec value of the [Desktop Entry] group of a desktop file's text; empty when it has none.
std::string desktopEntryExec(const std::string& text);

// The program as one argument of a desktop entry's Exec key: quoted and escaped where the Desktop
// Entry rules require it (reserved characters, "%" doubled), then escaped as a string value.
std::string desktopExecArgument(const std::string& program);

}  // namespace trayline

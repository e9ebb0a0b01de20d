#include "support/headless_browser.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace trayline::test {

namespace {

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

HeadlessBrowser::HeadlessBrowser() {
    std::string templ = (std::filesystem::temp_directory_path() / "trayline-chromium-XXXXXX").string();
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    profileDir_ = templ;
}

HeadlessBrowser::~HeadlessBrowser() {
    if (worker_.joinable())
        worker_.join();
    std::error_code ec;
    std::filesystem::remove_all(profileDir_, ec);
}

bool HeadlessBrowser::available() { return ::access("/usr/bin/chromium", X_OK) == 0; }

void HeadlessBrowser::open(const std::string& url) {
    // The background-networking switches keep Chromium off the (closed) network; the virtual
    // time budget lets form posts and redirects finish before the DOM is dumped.
    const std::string command =
        "timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update --disable-sync "
        "--virtual-time-budget=5000 --user-data-dir=" + shellQuoted(profileDir_) +
        " --dump-dom " + shellQuoted(url) + " 2>/dev/null";
    worker_ = std::thread([this, command] {
        FILE* p = ::popen(command.c_str(), "r");
        if (!p)
            return;
        std::array<char, 4096> buf;
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
            dom_.append(buf.data(), n);
        ::pclose(p);
    });
}

std::string HeadlessBrowser::finish() {
    if (worker_.joinable())
        worker_.join();
    return dom_;
}

}  // namespace trayline::test

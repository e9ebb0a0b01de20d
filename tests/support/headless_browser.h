#pragma once

// Headless Chromium as the user's browser: loads a URL (following redirects and form posts) in a
// fresh profile and captures the final page's DOM.

#include <string>
#include <thread>

namespace trayline::test {

class HeadlessBrowser {
public:
    HeadlessBrowser();
    ~HeadlessBrowser();

    // Starts loading `url` without waiting for it (the page may wait on the caller).
    void open(const std::string& url);
    // Waits for the browser to finish and returns the DOM it dumped.
    std::string finish();

    static bool available();

private:
    std::string profileDir_;
    std::string dom_;
    std::thread worker_;
};

}  // namespace trayline::test

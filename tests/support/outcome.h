#pragma once

#include <exception>
#include <functional>
#include <string>

namespace trayline::test {

// "ok" when `run` returns, else the text of what it threw: one comparable value for a table row.
inline std::string outcomeOf(const std::function<void()>& run) {
    try {
        run();
        return "ok";
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace trayline::test

#include "support/temp_env.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace trayline::test {

TempProfile::TempProfile() {
    std::string templ = (std::filesystem::temp_directory_path() / "trayline-test-XXXXXX").string();
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    std::filesystem::create_directories(configHome());
    std::filesystem::create_directories(dataHome());
    for (auto& [name, old] : saved_)
        if (const char* v = std::getenv(name))
            old = v;
    ::setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    ::setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
}

TempProfile::~TempProfile() {
    for (const auto& [name, old] : saved_)
        old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace trayline::test

// The registration snippets: paths that a shell or a JSON reader would otherwise misread, and an
// ordinary one left readable.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "core/mcp/client_registration.h"

namespace trayline::mcp {
namespace {

// What /bin/sh makes of a program word.
std::string shellReads(const std::string& word) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(("printf '%s' " + word).c_str(), "r"), ::pclose);
    std::string out;
    std::array<char, 256> buf{};
    while (pipe && std::fgets(buf.data(), buf.size(), pipe.get()))
        out += buf.data();
    return out;
}

TEST(ClientRegistration, ShellAndJsonReadAnyPathExactly) {
    const std::string prefix = "claude mcp add servicenow -s project -- ", suffix = " --mcp";
    EXPECT_EQ(registrationCommand("/home/j\xc3\xbcrgen/bin/tl"), prefix + "/home/j\xc3\xbcrgen/bin/tl" + suffix);
    for (const std::string path : {"/home/a b/trayline", "/home/o'neill/trayline", "/tmp/$HOME/`id`/trayline",
                                   "/tmp/x;rm -rf *", "/tmp/say \"hi\"\\now/trayline", "/tmp/a\tb\nc/trayline",
                                   "~/trayline"}) {
        SCOPED_TRACE(path);
        const std::string command = registrationCommand(path);
        const bool framed = command.starts_with(prefix) && command.ends_with(suffix);
        EXPECT_TRUE(framed) << command;
        const auto word = framed ? command.substr(prefix.size(), command.size() - prefix.size() - suffix.size()) : "";
        EXPECT_EQ(shellReads(word), path);
        EXPECT_EQ(nlohmann::json::parse(registrationJson(path))["mcpServers"]["servicenow"]["command"], path);
    }
}

}  // namespace
}  // namespace trayline::mcp

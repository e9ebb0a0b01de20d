// The registration snippets: the exact texts for an ordinary path, and paths that a shell or a JSON
// reader would otherwise misread.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "core/mcp/client_registration.h"

namespace trayline::mcp {
namespace {

TEST(ClientRegistration, OrdinaryPathGivesTheTextsExactly) {
    const std::string path = "/opt/Trayline.app/Contents/bin/trayline";
    EXPECT_EQ(registrationCommand(path),
              "claude mcp add servicenow -s project -- /opt/Trayline.app/Contents/bin/trayline --mcp");
    EXPECT_EQ(registrationJson(path),
              "{\n"
              "  \"mcpServers\": {\n"
              "    \"servicenow\": {\n"
              "      \"type\": \"stdio\",\n"
              "      \"command\": \"/opt/Trayline.app/Contents/bin/trayline\",\n"
              "      \"args\": [\"--mcp\"],\n"
              "      \"env\": {}\n"
              "    }\n"
              "  }\n"
              "}");
    // Nothing to quote: the path stays readable.
    EXPECT_TRUE(registrationCommand("/home/j\xc3\xbcrgen/bin/tl").ends_with(" -- /home/j\xc3\xbcrgen/bin/tl --mcp"));
}

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

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
}

// What /bin/sh makes of the command's program word.
std::string shellReads(const std::string& word) {
    const std::string script = "printf '%s' " + word;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(("/bin/sh -c " + shellWord(script)).c_str(), "r"), ::pclose);
    std::string out;
    std::array<char, 256> buf{};
    while (pipe && std::fgets(buf.data(), buf.size(), pipe.get()))
        out += buf.data();
    return out;
}

struct PathCase {
    const char* name;
    std::string path;
    bool quotedInCommand;
};

class RegistrationPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(RegistrationPaths, ShellAndJsonReadTheExactPath) {
    const auto& c = GetParam();
    const std::string command = registrationCommand(c.path);
    const std::string prefix = "claude mcp add servicenow -s project -- ";
    const std::string suffix = " --mcp";
    ASSERT_TRUE(command.starts_with(prefix) && command.ends_with(suffix)) << command;
    const std::string word = command.substr(prefix.size(), command.size() - prefix.size() - suffix.size());
    EXPECT_EQ(word != c.path, c.quotedInCommand) << word;
    EXPECT_EQ(shellReads(word), c.path) << word;

    const std::string json = registrationJson(c.path);
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 9);
    const auto parsed = nlohmann::json::parse(json);
    EXPECT_EQ(parsed["mcpServers"]["servicenow"]["command"], c.path);
    EXPECT_EQ(parsed["mcpServers"]["servicenow"]["args"], nlohmann::json::array({"--mcp"}));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RegistrationPaths,
    ::testing::Values(PathCase{"plain", "/usr/local/bin/trayline", false},
                      PathCase{"unicode", "/home/j\xc3\xbcrgen/Trayline.app/Contents/bin/trayline", false},
                      PathCase{"space", "/home/a b/Trayline.app/Contents/bin/trayline", true},
                      PathCase{"apostrophe", "/home/o'neill/trayline", true},
                      PathCase{"dollar and backquote", "/tmp/$HOME/`id`/trayline", true},
                      PathCase{"glob and semicolon", "/tmp/x;rm -rf *", true},
                      PathCase{"quote and backslash", "/tmp/say \"hi\"\\now/trayline", true},
                      PathCase{"tab and newline", "/tmp/a\tb\nc/trayline", true},
                      PathCase{"leading tilde", "~/trayline", true}),
    [](const auto& p) {
        std::string n = p.param.name;
        std::replace(n.begin(), n.end(), ' ', '_');
        return n;
    });

}  // namespace
}  // namespace trayline::mcp

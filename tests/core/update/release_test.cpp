// The publisher's side and the app's side together: packaging/make-release seals, signs and zips
// the installed build, and an older installed bundle updates itself from the manifest the script
// printed, served over loopback.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/settings/app_info.h"
#include "core/update/sha256.h"
#include "core/update/update_feed.h"
#include "core/update/update_install.h"
#include "update_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Runs a shell command and returns its standard output; fails the test on a non-zero status.
std::string capture(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return {};
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return out;
}

// The whole path once: the real build installed as a bundle, sealed and signed by make-release,
// then an older install updates itself from the printed manifest and runs as the new version.
TEST(Release, InstalledBuildUpdatesAnOlderInstallAndRunsAsTheNewVersion) {
    test::TempProfile profile;
    test::ScratchDir dir;
    test::LoopbackServer server;
    const std::string version = TRAYLINE_PROJECT_VERSION;
    const auto root = test::Identity::makeRoot("Publisher Root");
    const auto signer = root.issueSigner("TESTTEAM01");
    test::writeFile(dir.path() / "keys" / "signer.key", signer.keyPEM());
    test::writeFile(dir.path() / "keys" / "signer.pem", signer.certificatePEM());

    capture(quoted(TRAYLINE_CMAKE) + " --install " + quoted(TRAYLINE_BUILD_DIR) + " --strip --prefix " +
            quoted(dir.path() / "stage") + " >/dev/null");
    const fs::path staged = dir.path() / "stage" / "Trayline.app";
    ASSERT_TRUE(fs::exists(staged / "Contents/bin/trayline"));
    EXPECT_EQ(AppInfo::plistString(staged / "Contents/Info.plist", "CFBundleIdentifier"),
              "com.brindle.trayline");
    EXPECT_EQ(AppInfo::plistString(staged / "Contents/Info.plist", "CFBundleExecutable"), "trayline");
    // Notes come from this version's section only, with their special characters intact.
    test::writeFile(dir.path() / "CHANGELOG.md", "# Changelog\n\n## " + version + " (today)\n\n"
                    "- Says \"hi\" to C:\\Users\tand more\n\n## 0.0.9\n\n- Older.\n");
    const std::string zipName = "Trayline-" + version + ".zip";
    const std::string feed = capture(
        quoted(fs::path(TRAYLINE_SOURCE_DIR) / "packaging/make-release") + " --bundle " + quoted(staged) +
        " --key " + quoted(dir.path() / "keys/signer.key") + " --cert " +
        quoted(dir.path() / "keys/signer.pem") + " --url " + server.url("/" + zipName) + " --out " +
        quoted(dir.path() / "dist") + " --changelog " + quoted(dir.path() / "CHANGELOG.md"));
    const fs::path zip = dir.path() / "dist" / zipName;
    ASSERT_TRUE(fs::exists(zip)) << feed;
    server.serve("/" + zipName, 200, test::readFile(zip));
    server.serve("/appcast.json", 200, feed);

    const fs::path installed = dir.path() / "Apps" / "Trayline.app";
    test::makeBundle(installed, "0.0.9");
    const UpdateManifest manifest = fetchUpdateManifest(server.url("/appcast.json"));
    EXPECT_EQ(manifest.sha256, sha256OfFile(zip));
    EXPECT_EQ(manifest.notes, "- Says \"hi\" to C:\\Users\tand more");
    ASSERT_TRUE(isNewerVersion(manifest.version, AppInfo::versionOf(installed)));

    // The installer relaunches the new bundle without arguments; without a display the tray
    // application cannot come up and stay behind after the test.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    InstallOptions options;
    options.rootCertificatePEM = root.certificatePEM();
    options.teamIdentifier = "TESTTEAM01";
    options.installedBundle = installed;
    options.temporaryDirectory = dir.path() / "tmp";
    options.processID = test::exitedProcessID();
    installUpdate(manifest, options);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((AppInfo::versionOf(installed) != version || fs::exists(installed.string() + ".old")) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(AppInfo::versionOf(installed), version);
    EXPECT_EQ(AppInfo::changelogOf(installed), test::readFile(fs::path(TRAYLINE_SOURCE_DIR) / "CHANGELOG.md"));

    // The swapped bundle's own executable reports the version it now runs as.
    const std::string stderrText =
        capture(quoted(installed / "Contents/bin/trayline") + " --mcp </dev/null 2>&1 >/dev/null");
    EXPECT_NE(stderrText.find("[trayline-mcp] ready (Trayline " + version + ","), std::string::npos)
        << stderrText;
}

TEST(Release, ConfiguredRootIsThePinnedDefault) {
    const auto options = InstallOptions::defaults();
    EXPECT_EQ(options.rootCertificatePEM,
              test::readFile(TRAYLINE_UPDATE_ROOT_CA));
    EXPECT_EQ(options.teamIdentifier.size(), 10u);
}

}  // namespace
}  // namespace trayline

// The publisher's side and the app's side together: packaging/make-release seals, signs and zips
// the installed build, and an older installed bundle updates itself from the manifest it printed.

#include <gtest/gtest.h>

#include <unistd.h>

#include "core/settings/app_info.h"
#include "core/update/update_feed.h"
#include "core/update/update_install.h"
#include "support/process_run.h"
#include "update_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::string capture(const std::string& command) {
    const auto run = test::runProcess({"/bin/sh", "-c", command});
    EXPECT_EQ(run.exitCode, 0) << command << ": " << run.err;
    return run.out;
}

TEST(Release, InstalledBuildUpdatesAnOlderInstallAndRunsAsTheNewVersion) {
    test::TempProfile profile;
    test::ScratchDir dir;
    test::LoopbackServer server;
    const std::string version = TRAYLINE_PROJECT_VERSION;
    const auto root = test::Identity::makeRoot("Publisher Root");
    const auto signer = root.issueSigner("TESTTEAM01");
    capture(quoted(TRAYLINE_CMAKE) + " --install " + quoted(TRAYLINE_BUILD_DIR) + " --strip --prefix " +
            quoted(dir.path() / "stage") + " >/dev/null");
    test::writeFile(dir.path() / "CHANGELOG.md", "# Changelog\n\n## " + version + " (today)\n\n"
                    "- Says \"hi\" to C:\\Users\tand more\n\n## 0.0.9\n\n- Older.\n");
    const std::string zipName = "Trayline-" + version + ".zip";
    const std::string feed = capture(
        quoted(fs::path(TRAYLINE_SOURCE_DIR) / "packaging/make-release") + " --bundle " +
        quoted(dir.path() / "stage/Trayline.app") + " --key " + quoted(signer.keyFile()) + " --cert " +
        quoted(signer.certificateFile()) + " --url " + server.url("/" + zipName) + " --out " +
        quoted(dir.path() / "dist") + " --changelog " + quoted(dir.path() / "CHANGELOG.md"));
    server.serve("/" + zipName, 200, test::readFile(dir.path() / "dist" / zipName));
    server.serve("/appcast.json", 200, feed);

    const fs::path installed = dir.path() / "Apps" / "Trayline.app";
    test::makeBundle(installed, "0.0.9");
    const UpdateManifest manifest = fetchUpdateManifest(server.url("/appcast.json"));
    EXPECT_EQ(manifest.notes, "- Says \"hi\" to C:\\Users\tand more");
    // The relaunched tray application cannot come up without a display and stay behind.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    InstallOptions options;
    options.rootCertificatePEM = root.certificatePEM();
    options.teamIdentifier = "TESTTEAM01";
    options.installedBundle = installed;
    options.temporaryDirectory = dir.path() / "tmp";
    options.processID = test::exitedProcessID();
    installUpdate(manifest, options);
    for (int i = 0; i < 1000 && (AppInfo::versionOf(installed) != version || fs::exists(installed.string() + ".old"));
         ++i)
        ::usleep(10000);
    ASSERT_EQ(AppInfo::versionOf(installed), version);
    const std::string said = capture(quoted(installed / "Contents/bin/trayline") + " --mcp </dev/null 2>&1 >/dev/null");
    EXPECT_NE(said.find("[trayline-mcp] ready (Trayline " + version + ","), std::string::npos) << said;
}

}  // namespace
}  // namespace trayline

#include "core/settings/app_info.h"

#include <gtest/gtest.h>

#include "support/temp_env.h"

namespace trayline {
namespace {

TEST(AppInfo, FindsTheBundleOnlyFromContentsBin) {
    EXPECT_EQ(AppInfo::bundleContaining("/opt/Trayline.app/Contents/bin/trayline"), "/opt/Trayline.app");
    EXPECT_FALSE(AppInfo::bundleContaining("/opt/Trayline/Contents/bin/trayline"));
    EXPECT_FALSE(AppInfo::bundleContaining("/work/build/src/trayline"));
    EXPECT_EQ(AppInfo::version(), "dev") << "a test binary is never inside a bundle";
    EXPECT_EQ(AppInfo::changelog(), AppInfo::kNoChangelog);
}

TEST(AppInfo, ReadsVersionAndChangelogFromTheBundleAndFallsBackOnAnythingElse) {
    test::TempProfile profile;
    const auto bundle = profile.root() / "Trayline.app";
    const auto plist = [&](const std::string& value) {
        test::writeFile(bundle / "Contents" / "Info.plist",
                        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key>" +
                            value + "</dict></plist>");
        return AppInfo::versionOf(bundle);
    };
    EXPECT_EQ(AppInfo::versionOf(bundle), "dev");
    EXPECT_EQ(plist("<string>1.4.2</string>"), "1.4.2");
    EXPECT_EQ(plist("<integer>2</integer>"), "dev");
    EXPECT_EQ(plist("</garbage"), "dev");
    test::writeFile(bundle / "Contents" / "Resources" / "CHANGELOG.md", "## 1.4.2\n- Faster ✓\n");
    EXPECT_EQ(AppInfo::changelogOf(bundle), "## 1.4.2\n- Faster ✓\n");
    test::writeFile(bundle / "Contents" / "Resources" / "CHANGELOG.md", "bad \xFF utf8");
    EXPECT_EQ(AppInfo::changelogOf(bundle), AppInfo::kNoChangelog);
}

}  // namespace
}  // namespace trayline

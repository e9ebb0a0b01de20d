#include "core/settings/app_info.h"

#include <gtest/gtest.h>

#include "support/temp_env.h"

namespace trayline {
namespace {

std::string infoPlist(const std::string& entries) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>)" + entries + "</dict></plist>\n";
}

TEST(AppInfo, FindsTheBundleOnlyFromContentsBin) {
    EXPECT_EQ(AppInfo::bundleContaining("/opt/Trayline.app/Contents/bin/trayline"),
              std::filesystem::path("/opt/Trayline.app"));
    EXPECT_FALSE(AppInfo::bundleContaining("/work/build/src/trayline"));
    EXPECT_FALSE(AppInfo::bundleContaining("/opt/Trayline/Contents/bin/trayline"));
    EXPECT_FALSE(AppInfo::currentBundle()) << "a test binary is never inside a bundle";
    EXPECT_EQ(AppInfo::version(), "dev");
    EXPECT_EQ(AppInfo::changelog(), AppInfo::kNoChangelog);
}

TEST(AppInfo, ReadsVersionAndChangelogFromTheBundle) {
    test::TempProfile profile;
    const auto bundle = profile.root() / "Trayline.app";
    test::writeFile(bundle / "Contents" / "Info.plist",
                    infoPlist("<key>CFBundleShortVersionString</key><string>1.4.2</string>"));
    test::writeFile(bundle / "Contents" / "Resources" / "CHANGELOG.md", "## 1.4.2\n- Faster ✓\n");
    EXPECT_EQ(AppInfo::versionOf(bundle), "1.4.2");
    EXPECT_EQ(AppInfo::changelogOf(bundle), "## 1.4.2\n- Faster ✓\n");
}

TEST(AppInfo, FallsBackWhenEntriesAreMissingMistypedOrUnreadable) {
    test::TempProfile profile;
    const auto bundle = profile.root() / "Trayline.app";
    EXPECT_EQ(AppInfo::versionOf(bundle), "dev");
    test::writeFile(bundle / "Contents" / "Info.plist",
                    infoPlist("<key>CFBundleShortVersionString</key><integer>2</integer>"));
    EXPECT_EQ(AppInfo::versionOf(bundle), "dev");
    test::writeFile(bundle / "Contents" / "Info.plist", "garbage");
    EXPECT_EQ(AppInfo::versionOf(bundle), "dev");
    test::writeFile(bundle / "Contents" / "Resources" / "CHANGELOG.md", "bad \xFF utf8");
    EXPECT_EQ(AppInfo::changelogOf(bundle), AppInfo::kNoChangelog);
}

}  // namespace
}  // namespace trayline

// Where this copy of the app lives and how the desktop knows it: bundle or package or build tree,
// the desktop file that allows notifications, and the icon a notification names.

#include <gtest/gtest.h>

#include "core/settings/app_identity.h"
#include "core/settings/app_info.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;

const std::string kDesktop = "applications/com.brindle.trayline.desktop";
const std::string kPng = "icons/hicolor/128x128/apps/com.brindle.trayline.png";
const std::string kSvg = "icons/hicolor/scalable/apps/com.brindle.trayline.svg";

// A scratch directory holding these files (paths relative to it).
class ScratchTree {
public:
    explicit ScratchTree(const std::vector<std::string>& files) {
        for (const auto& file : files)
            test::writeFile(root / file, "x");
    }
    test::TempProfile scratch;
    const fs::path root = scratch.root();
};

struct Layout {
    const char* name;
    std::vector<std::string> files;  // relative to a scratch root
    std::string executable;
    std::optional<std::string> bundle, prefix, resources;
};

class InstallLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(InstallLayout, TellsBundleFromPackageFromBuildTree) {
    const Layout& l = GetParam();
    const ScratchTree tree(l.files);
    const fs::path& root = tree.root;
    const auto at = [&](const std::optional<std::string>& p) {
        return p ? std::optional<fs::path>(root / *p) : std::nullopt;
    };
    EXPECT_EQ(AppInfo::bundleContaining(root / l.executable), at(l.bundle));
    EXPECT_EQ(AppInfo::packagePrefixContaining(root / l.executable), at(l.prefix));
    EXPECT_EQ(AppInfo::resourcesOf(root / l.executable), at(l.resources));
}

INSTANTIATE_TEST_SUITE_P(
    Copies, InstallLayout,
    ::testing::Values(
        Layout{"bundle", {"T.app/Contents/bin/trayline"}, "T.app/Contents/bin/trayline", "T.app", {},
               "T.app/Contents/Resources"},
        Layout{"package", {"usr/bin/trayline", "usr/share/" + kDesktop}, "usr/bin/trayline", {}, "usr", "usr/share"},
        Layout{"bin_without_desktop_file", {"usr/bin/trayline", "usr/share/applications/other.desktop"},
               "usr/bin/trayline", {}, {}, {}},
        Layout{"desktop_file_is_a_directory", {"usr/bin/trayline", "usr/share/" + kDesktop + "/x"},
               "usr/bin/trayline", {}, {}, {}},
        Layout{"build_tree", {"build/src/trayline", "build/share/" + kDesktop}, "build/src/trayline", {}, {}, {}},
        Layout{"bundle_inside_a_prefix",
               {"T.app/Contents/bin/trayline", "T.app/Contents/share/" + kDesktop}, "T.app/Contents/bin/trayline",
               "T.app", {}, "T.app/Contents/Resources"}),
    [](const auto& row) { return std::string(row.param.name); });

// Which icon name a notification carries, by where the icon files are. Directories: "session" is
// one every notification daemon searches; "profile" is a private data home (the demo's);
// "bundle" is a bundle's resources.
struct IconCase {
    const char* name;
    std::vector<std::string> files;
    std::string expected;  // a theme name, or a path relative to the scratch root
};

class NotificationIcon : public ::testing::TestWithParam<IconCase> {};

TEST_P(NotificationIcon, NamesWhatTheDaemonCanFind) {
    const IconCase& c = GetParam();
    const ScratchTree tree(c.files);
    const fs::path& root = tree.root;
    const std::string icon = identity::notificationIcon({root / "profile", root / "session"}, {root / "session"},
                                                        root / "bundle");
    EXPECT_EQ(icon, c.expected.starts_with("com.") ? c.expected : (root / c.expected).string());
}

INSTANTIATE_TEST_SUITE_P(
    Places, NotificationIcon,
    ::testing::Values(IconCase{"theme_of_the_session", {"session/" + kPng, "bundle/" + kPng}, "com.brindle.trayline"},
                      IconCase{"private_profile_first", {"profile/" + kPng, "session/" + kPng}, "profile/" + kPng},
                      IconCase{"largest_png_before_svg",
                               {"profile/" + kSvg, "profile/icons/hicolor/256x256/apps/com.brindle.trayline.png",
                                "profile/" + kPng},
                               "profile/icons/hicolor/256x256/apps/com.brindle.trayline.png"},
                      IconCase{"only_an_svg", {"profile/" + kSvg}, "profile/" + kSvg},
                      IconCase{"bundle_resources_last", {"bundle/" + kPng}, "bundle/" + kPng},
                      IconCase{"another_apps_icon_does_not_count",
                               {"session/icons/hicolor/128x128/apps/other.png", "bundle/" + kSvg}, "bundle/" + kSvg},
                      IconCase{"nowhere", {}, "com.brindle.trayline"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline

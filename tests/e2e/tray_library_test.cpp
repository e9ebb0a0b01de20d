// How the trayline executable finds (or misses) the tray library, and what an MCP run loads.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/process_run.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;

TEST(TrayLibrary, McpRunLoadsNoQtLibrary) {
    test::TempProfile profile;
    // The dynamic loader reports every library it loads, at start and later, on standard error.
    const auto run = test::runProcess({TRAYLINE_BINARY, "--mcp"}, {.env = {"LD_DEBUG=libs"}});
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_NE(run.err.find("libc.so"), std::string::npos) << "no loader report: " << run.err;
    EXPECT_NE(run.err.find("[trayline-mcp] ready"), std::string::npos);
    EXPECT_EQ(run.err.find("libQt6"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("libtrayline-tray"), std::string::npos);
}

TEST(TrayLibrary, MissingLibraryIsAClearErrorNotACrash) {
    test::TempProfile scratch;
    const fs::path lone = scratch.root() / "bin" / "trayline";
    fs::create_directories(lone.parent_path());
    fs::copy_file(TRAYLINE_BINARY, lone);
    const auto run = test::runProcess({lone.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("cannot load the tray application"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\"trayline --mcp\" runs the MCP server"), std::string::npos) << run.err;
}

#ifdef TRAYLINE_TRAY_LIBRARY
TEST(TrayLibrary, WithoutAGraphicalSessionSaysSoAndPointsToTheMcpServer) {
    test::TempProfile scratch;
    const auto run = test::runProcess({TRAYLINE_BINARY}, {.env = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                                                  "XDG_RUNTIME_DIR=" + scratch.root().string()}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("needs a graphical session"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("trayline --mcp"), std::string::npos) << run.err;
}

// The bundle layout: Contents/bin/trayline loads Contents/lib/libtrayline-tray.so. A platform
// plugin that does not exist stops the toolkit right after the library is in, with its own message.
TEST(TrayLibrary, BundleExecutableLoadsTheLibraryFromContentsLib) {
    test::TempProfile scratch;
    const fs::path contents = scratch.root() / "Trayline.app" / "Contents";
    fs::create_directories(contents / "bin");
    fs::create_directories(contents / "lib");
    fs::copy_file(TRAYLINE_BINARY, contents / "bin" / "trayline");
    fs::copy_file(TRAYLINE_TRAY_LIBRARY, contents / "lib" / "libtrayline-tray.so");
    const auto run = test::runProcess({(contents / "bin" / "trayline").string()},
                                      {.env = {"QT_QPA_PLATFORM=no-such-platform",
                                               "XDG_RUNTIME_DIR=" + scratch.root().string()}});
    EXPECT_EQ(run.err.find("cannot load the tray application"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("no-such-platform"), std::string::npos) << run.err;
}
#endif

}  // namespace
}  // namespace trayline

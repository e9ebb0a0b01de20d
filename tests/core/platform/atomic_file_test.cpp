#include "core/platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_env.h"

namespace trayline {
namespace {

TEST(AtomicFile, ReplacesWholeFileWithRequestedModeAndLeavesNoTemporaries) {
    test::TempProfile profile;
    const auto path = profile.root() / "f.json";
    writeFileAtomically(path, "first", 0600);
    writeFileAtomically(path, "second", 0600);
    EXPECT_EQ(readWholeFile(path), "second");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(profile.root()))
        ++entries;
    EXPECT_EQ(entries, 3);  // config/, data/ and the file itself
}

TEST(AtomicFile, FailedWriteThrowsAndKeepsNothingHalfWritten) {
    test::TempProfile profile;
    EXPECT_THROW(writeFileAtomically(profile.root() / "missing-dir" / "f", "x"), std::system_error);
    EXPECT_FALSE(readWholeFile(profile.root() / "missing-dir" / "f"));
}

}  // namespace
}  // namespace trayline

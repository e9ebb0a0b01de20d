#include <gtest/gtest.h>

#include "core/platform/decoding_error.h"
#include "core/update/update_error.h"
#include "core/update/update_manifest.h"

namespace trayline {
namespace {

TEST(UpdateManifest, DecodesEveryMemberAndIgnoresOthers) {
    const auto m = UpdateManifest::fromJson(R"({"version":"1.4.0","build":"140","date":"May 1",
        "url":"https://x/T.zip","sha256":"ab","notes":"n","minimumSystemVersion":"12",
        "extra":{"nested":[1,2]},"size":123})");
    EXPECT_EQ(m, (UpdateManifest{"1.4.0", "140", "May 1", "https://x/T.zip", "ab", "n", "12"}));
}

TEST(UpdateManifest, OptionalMembersMayBeAbsentOrNull) {
    const auto m = UpdateManifest::fromJson(R"({"version":"2","url":"u","notes":null})");
    EXPECT_EQ(m, (UpdateManifest{"2", {}, {}, "u", {}, {}, {}}));
}

TEST(UpdateManifest, RejectsWhatIsNotAManifest) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"url":"u"})", "The update feed has no text \"version\"."},
        {R"({"version":"1"})", "The update feed has no text \"url\"."},
        {R"({"version":1.4,"url":"u"})", "The update feed has no text \"version\"."},
        {R"({"version":null,"url":"u"})", "The update feed has no text \"version\"."},
        {R"({"version":"1","url":"u","sha256":5})", "The update feed's \"sha256\" is not text."},
        {R"({"version":"1","url":"u","notes":["a"]})", "The update feed's \"notes\" is not text."},
        {R"([{"version":"1","url":"u"}])", "The update feed is not a JSON object."},
    };
    for (const auto& [json, message] : cases) {
        try {
            UpdateManifest::fromJson(json);
            ADD_FAILURE() << "accepted " << json;
        } catch (const DecodingError& e) {
            EXPECT_STREQ(e.what(), message) << json;
        }
    }
    EXPECT_THROW(UpdateManifest::fromJson("{\"version\":"), DecodingError);
    EXPECT_THROW(UpdateManifest::fromJson(""), DecodingError);
}

struct VersionCase {
    const char* candidate;
    const char* running;
    bool newer;
};

class VersionOrder : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionOrder, NumericStringOrder) {
    const auto& c = GetParam();
    EXPECT_EQ(isNewerVersion(c.candidate, c.running), c.newer) << c.candidate << " vs " << c.running;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionOrder,
    ::testing::Values(VersionCase{"1.4.0", "1.3.9", true}, VersionCase{"1.10", "1.9", true},
                      VersionCase{"1.9", "1.10", false}, VersionCase{"1.2.0", "1.2", true},
                      VersionCase{"1.2", "1.2.0", false}, VersionCase{"1.4.0", "1.4.0", false},
                      VersionCase{"1.0", "dev", false}, VersionCase{"99", "dev", false},
                      VersionCase{"2.01", "2.1", false}, VersionCase{"2.1", "2.01", false},
                      VersionCase{"1.0b", "1.0B", true}, VersionCase{"1.0a", "1.0", true},
                      VersionCase{"100000000000000000000001", "100000000000000000000000", true},
                      VersionCase{"1.0-rc2", "1.0-rc10", false}));

}  // namespace
}  // namespace trayline

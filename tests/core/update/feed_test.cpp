#include <gtest/gtest.h>

#include "core/platform/decoding_error.h"
#include "core/platform/http.h"
#include "core/update/update_error.h"
#include "core/update/update_feed.h"
#include "update_test_support.h"

namespace trayline {
namespace {

TEST(UpdateFeed, FetchesAndDecodesTheManifestBypassingCaches) {
    test::LoopbackServer server;
    server.serve("/appcast.json", 200, R"({"version":"1.4.0","url":"https://x/T.zip","notes":"n"})");
    const auto manifest = fetchUpdateManifest(server.url("/appcast.json"));
    EXPECT_EQ(manifest, (UpdateManifest{"1.4.0", {}, {}, "https://x/T.zip", {}, "n", {}}));
    EXPECT_EQ(server.cacheControlSeen(), std::vector<std::string>{"no-cache"});
}

TEST(UpdateFeed, FailuresCarryTheirTexts) {
    test::LoopbackServer server;
    server.serve("/500", 500, R"({"version":"1.4.0","url":"u"})");
    server.serve("/201", 201, R"({"version":"1.4.0","url":"u"})");
    const std::pair<std::string, std::string> cases[] = {
        {server.url("/missing"), "Update check failed: HTTP 404"},
        {server.url("/500"), "Update check failed: HTTP 500"},
        {server.url("/201"), "Update check failed: HTTP 201"},
        {"not a url", "Update check failed: bad feed URL"},
        {"", "Update check failed: bad feed URL"},
    };
    for (const auto& [url, text] : cases) {
        try {
            fetchUpdateManifest(url);
            ADD_FAILURE() << "no failure for " << url;
        } catch (const UpdateError& e) {
            EXPECT_EQ(e.kind(), UpdateError::Kind::badFeed);
            EXPECT_EQ(e.what(), text);
        }
    }
}

TEST(UpdateFeed, UndecodableBodiesAndTransportErrorsKeepTheirOwnErrors) {
    test::LoopbackServer server;
    server.serve("/html", 200, "<html>maintenance</html>");
    server.serve("/nourl", 200, R"({"version":"1.4.0"})");
    EXPECT_THROW(fetchUpdateManifest(server.url("/html")), DecodingError);
    EXPECT_THROW(fetchUpdateManifest(server.url("/nourl")), DecodingError);
    EXPECT_THROW(fetchUpdateManifest("http://127.0.0.1:1/appcast.json"), http::TransportError);
}

}  // namespace
}  // namespace trayline

#include <gtest/gtest.h>

#include <functional>

#include "core/platform/http.h"
#include "core/settings/app_info.h"
#include "core/update/sha256.h"
#include "core/update/update_error.h"
#include "core/update/update_feed.h"
#include "core/update/update_install.h"
#include "hop_server.h"
#include "update_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kTeam = "TESTTEAM01";
const UpdateManifest kFeed{"1.4.0", {}, {}, "https://example.invalid/T.zip", {}, {}, {}};
const char* const kFeedJson = R"({"version":"1.4.0","url":"https://example.invalid/T.zip"})";

const test::TestTls& tls() {
    static const test::TestTls shared;
    return shared;
}

// An installed 1.3.9, a signed 1.4.0 release, and an http and an https server to publish it on.
class TransportTest : public ::testing::Test {
protected:
    void SetUp() override { test::makeBundle(installed, "1.3.9"); }

    // "ok" or the failure's text.
    std::string checkFeed(const std::string& url) {
        http.serve("/release", kFeedJson);
        https.serve("/release", kFeedJson);
        try {
            const UpdateManifest manifest = fetchUpdateManifest(url, nullptr, tls().caPEM);
            return manifest == kFeed ? "ok" : "wrong manifest";
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    // "ok" once 1.4.0 has replaced the installed bundle, or the failure's text.
    std::string install(const std::string& url) {
        const std::string zip = release();
        http.serve("/release", zip);
        https.serve("/release", zip);
        try {
            installUpdate({"1.4.0", {}, {}, url, sha256Of(zip), {}, {}}, options());
        } catch (const std::exception& e) {
            expectUntouched();
            return e.what();
        }
        if (!test::waitForFile(dir.path() / "Apps" / "relaunched"))
            return "not relaunched";
        return AppInfo::versionOf(installed) == "1.4.0" ? "ok" : "not replaced";
    }

    std::string release() const {
        const fs::path stage = dir.path() / "stage";
        test::makeBundle(stage / "Trayline.app", "1.4.0");
        signer.sign(stage / "Trayline.app");
        return test::makeZip(test::entriesOf(stage, "Trayline.app"));
    }

    InstallOptions options() const {
        InstallOptions o;
        o.rootCertificatePEM = root.certificatePEM();
        o.teamIdentifier = kTeam;
        o.installedBundle = installed;
        o.temporaryDirectory = temp;
        o.processID = test::exitedProcessID();
        o.trustedCertificatesPEM = tls().caPEM;
        return o;
    }

    void expectUntouched() const {
        EXPECT_EQ(AppInfo::versionOf(installed), "1.3.9");
        EXPECT_FALSE(fs::exists(dir.path() / "Apps" / "relaunched"));
        EXPECT_TRUE(!fs::exists(temp) || fs::is_empty(temp)) << "leftovers in the temp dir";
    }

    test::Identity root = test::Identity::makeRoot("Test Root");
    test::Identity signer = root.issueSigner(kTeam);
    test::ScratchDir dir;
    test::HopServer http;
    test::HopServer https{&tls()};
    fs::path installed = dir.path() / "Apps" / "Trayline.app";
    fs::path temp = dir.path() / "tmp";
};

// Sets up redirects ending (when they end) at "/release"; returns the URL to start from and the
// reason the chain is refused with (empty when it is followed).
struct Chain {
    const char* name;
    std::function<std::pair<std::string, std::string>(test::HopServer& http, test::HopServer& https)>
        build;
};

void PrintTo(const Chain& chain, std::ostream* os) { *os << chain.name; }

using Servers = test::HopServer&;

std::pair<std::string, std::string> straightChain(Servers server, int redirects) {
    for (int i = 0; i < redirects; ++i)
        server.redirect("/r" + std::to_string(i), 302,
                        i + 1 < redirects ? server.url("/r" + std::to_string(i + 1))
                                          : server.url("/release"));
    return {server.url("/r0"), redirects > 10 ? "more than 10 redirects" : ""};
}

class RedirectChain : public TransportTest, public ::testing::WithParamInterface<Chain> {};

// Followed chains deliver the feed and install the archive; refused ones fail with their reason
// and install nothing.
TEST_P(RedirectChain, FeedAndArchiveFollowItOrFailWithItsReason) {
    const auto [start, reason] = GetParam().build(http, https);
    EXPECT_EQ(checkFeed(start), reason.empty() ? "ok" : "Update check failed: " + reason);
    EXPECT_EQ(install(start), reason.empty() ? "ok" : "Download failed: " + reason);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RedirectChain,
    ::testing::Values(
        Chain{"OneRedirect",
              [](Servers h, Servers) {
                  h.redirect("/start", 302, h.url("/release"));
                  return std::pair{h.url("/start"), std::string()};
              }},
        Chain{"TwoRedirectsOneRelative",
              [](Servers h, Servers) {
                  h.redirect("/start", 301, h.url("/hop"));
                  h.redirect("/hop", 307, "/release");
                  return std::pair{h.url("/start"), std::string()};
              }},
        Chain{"FromHttpToHttps",
              [](Servers h, Servers s) {
                  h.redirect("/start", 302, s.url("/hop"));
                  s.redirect("/hop", 308, s.url("/release"));
                  return std::pair{h.url("/start"), std::string()};
              }},
        Chain{"TenRedirects", [](Servers h, Servers) { return straightChain(h, 10); }},
        Chain{"Loop",
              [](Servers h, Servers) {
                  h.redirect("/a", 302, h.url("/b"));
                  h.redirect("/b", 302, h.url("/a"));
                  return std::pair{h.url("/a"), "redirect loop at " + h.url("/a")};
              }},
        Chain{"ElevenRedirects", [](Servers h, Servers) { return straightChain(h, 11); }},
        Chain{"HttpsToHttp",
              [](Servers h, Servers s) {
                  s.redirect("/start", 302, h.url("/release"));
                  return std::pair{s.url("/start"),
                                   "redirect from https to http refused: " + h.url("/release")};
              }},
        Chain{"BackToHttpAfterHttps",
              [](Servers h, Servers s) {
                  h.redirect("/start", 302, s.url("/hop"));
                  s.redirect("/hop", 302, h.url("/release"));
                  return std::pair{h.url("/start"),
                                   "redirect from https to http refused: " + h.url("/release")};
              }},
        Chain{"OtherScheme",
              [](Servers h, Servers) {
                  h.redirect("/start", 302, "ftp://127.0.0.1/release");
                  return std::pair{h.url("/start"),
                                   std::string("redirect to another scheme refused: ftp://127.0.0.1/release")};
              }},
        Chain{"NoLocation",
              [](Servers h, Servers) {
                  h.redirect("/start", 302, std::nullopt);
                  return std::pair{h.url("/start"), std::string("HTTP 302")};
              }}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TransportTest, FileFeedIsReadLikeA200ReplyButAFileArchiveIsNot) {
    const fs::path feed = dir.path() / "feed dir" / "appcast.json";
    test::writeFile(feed, kFeedJson);
    // The scratch directory's name holds a space, which a URL carries percent-encoded.
    auto fileURL = [](const fs::path& path) {
        std::string url = "file://";
        for (const char c : path.string())
            url += c == ' ' ? std::string("%20") : std::string(1, c);
        return url;
    };
    EXPECT_EQ(checkFeed(fileURL(feed)), "ok");
    EXPECT_EQ(checkFeed("file://localhost" + fileURL(feed).substr(7)), "ok");
    const fs::path missing = dir.path() / "none.json";
    EXPECT_EQ(checkFeed(fileURL(missing)), "Update check failed: cannot read " + missing.string());

    const fs::path archive = dir.path() / "release.zip";
    test::writeFile(archive, release());
    EXPECT_TRUE(install(fileURL(archive)).starts_with("Unsupported protocol"));
}

TEST_F(TransportTest, ADownloadFailsOnlyWhenNothingArrivesForTheStallTime) {
    test::SilentListener silent;
    // Slower in total than the stall time, but never idle for anything near it.
    https.trickle("/slow", "0123456789", 300ms);
    InstallOptions o = options();
    o.stallTimeout = 2s;
    const fs::path file = dir.path() / "update.zip";
    const std::pair<std::string, std::string> rows[] = {
        {silent.url("/release"), "Download failed: Timeout was reached: no data received for 2 s"},
        {https.url("/slow"), "ok"},
    };
    for (const auto& [url, expected] : rows) {
        std::string outcome = "ok";
        try {
            downloadArchive(url, file, o);
        } catch (const std::exception& e) {
            outcome = e.what();
            EXPECT_FALSE(fs::exists(file)) << url;
        }
        EXPECT_EQ(outcome, expected) << url;
    }
    EXPECT_EQ(test::readFile(file), "0123456789");
}

TEST_F(TransportTest, HopsKeepCredentialsToTheirHostAndTurnAPostInto303sGet) {
    http.redirect("/other-host", 303, http.url("/end", "localhost"));
    http.redirect("/same-host", 307, http.url("/end"));
    http.serve("/end", "done");
    for (const char* path : {"/other-host", "/same-host"}) {
        http::Request request;
        request.method = "POST";
        request.url = http.url(path);
        request.body = "{}";
        request.headers = {{"Authorization", "Bearer secret"}};
        request.maxRedirects = 1;
        EXPECT_EQ(http::send(request).body, "done") << path;
    }
    EXPECT_EQ(http.seen(), (std::vector<std::string>{"POST /other-host Bearer secret", "GET /end ",
                                                     "POST /same-host Bearer secret",
                                                     "POST /end Bearer secret"}));
}

}  // namespace
}  // namespace trayline

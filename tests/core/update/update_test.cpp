// The update path against real parts: loopback http and https servers, signed zips, the installer
// script run for real.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <regex>

#include "core/platform/atomic_file.h"
#include "core/platform/decoding_error.h"
#include "core/settings/app_info.h"
#include "core/update/bundle_signature.h"
#include "core/update/installer_script.h"
#include "core/update/sha256.h"
#include "core/update/update_feed.h"
#include "core/update/update_install.h"
#include "update_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using test::Identity;

constexpr const char* kTeam = "TESTTEAM01";
const std::string kFeed = R"({"version":"1.4.0","url":"https://example.invalid/T.zip"})";

// Each identity is made once, on first use: openssl's key generation is the slow part of a test.
template <typename Make>
const Identity& once(Make make) {
    static const Identity made = make();
    return made;
}
const Identity& root() { return once([] { return Identity::makeRoot("Test Root"); }); }
const Identity& ourSigner() { return once([] { return root().issueSigner(kTeam); }); }
const Identity& httpsServer() { return once([] { return root().issueServer(); }); }
const Identity& otherTeam() { return once([] { return root().issueSigner("OTHERTEAM1"); }); }
const Identity& strangerRoot() { return once([] { return Identity::makeRoot("Stranger Root"); }); }
const Identity& stranger() { return once([] { return strangerRoot().issueSigner(kTeam); }); }

TEST(UpdateManifest, DecodesWhatItKnowsAndRejectsWhatIsNotAManifest) {
    EXPECT_EQ(UpdateManifest::fromJson(R"({"version":"1.4.0","build":"140","date":"May 1","url":"u",
                                           "sha256":"ab","notes":null,"minimumSystemVersion":"12","x":[1]})"),
              (UpdateManifest{"1.4.0", "140", "May 1", "u", "ab", {}, "12"}));
    const std::pair<const char*, const char*> rows[] = {
        {R"({"version":1.4,"url":"u"})", "The update feed has no text \"version\"."},
        {R"([{"version":"1","url":"u"}])", "The update feed is not a JSON object."},
    };
    for (const auto& [json, message] : rows)
        EXPECT_EQ(test::outcomeOf([&] { UpdateManifest::fromJson(json); }), message) << json;
}

TEST(VersionOrder, ComparesNumbersByValueAndTheRestByCharacter) {
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"1.4.0", "1.3.9", true}, {"1.10", "1.9", true}, {"1.9", "1.10", false}, {"1.2.0", "1.2", true},
        {"1.2", "1.2.0", false}, {"1.4.0", "1.4.0", false}, {"99", "dev", false}, {"2.01", "2.1", false},
        {"2.1", "2.01", false}, {"1.0b", "1.0B", true}, {"1.0-rc2", "1.0-rc10", false},
        {"100000000000000000000001", "100000000000000000000000", true},
    };
    for (const auto& [candidate, running, newer] : rows)
        EXPECT_EQ(isNewerVersion(candidate, running), newer) << candidate << " vs " << running;
}

// A published release; a failure row changes one thing about it.
struct Release {
    std::optional<std::string> version = "1.4.0";
    const Identity* signer = &ourSigner();  // nullptr: unsigned
    std::function<void(const fs::path& bundle)> afterSigning = [](const fs::path&) {};
    std::vector<test::ZipEntry> extraEntries;
    std::optional<std::string> rawArchive;
    std::string manifestVersion = "1.4.0";
    std::function<std::string(std::string digest)> checksum = [](std::string digest) { return digest; };
    std::string installedIn = "Apps";
};

// An installed 1.3.9; on an http and an https server, redirect chains ending (if at all) at "/release".
class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::makeBundle(installed, "1.3.9");
        for (auto* server : {&http, &https})
            server->serve("/release", 200, kFeed);
        http.serve("/busy", 500, kFeed);
        http.serve("/301", 301, "moved", http.url("/307"));
        http.serve("/307", 307, "moved", "/release");
        http.serve("/to-https", 302, "moved", https.url("/308"));
        https.serve("/308", 308, "moved", https.url("/release"));
        for (int i = 0; i < 11; ++i)  // "/r1" is 10 redirects away from "/release", "/r0" 11
            http.serve("/r" + std::to_string(i), 302, "moved",
                       http.url(i < 10 ? "/r" + std::to_string(i + 1) : "/release"));
        http.serve("/a", 302, "moved", http.url("/b"));
        http.serve("/b", 302, "moved", http.url("/a"));
        http.serve("/via-https", 302, "moved", https.url("/back"));
        https.serve("/back", 302, "moved", http.url("/release"));
        http.serve("/ftp", 302, "moved", "ftp://127.0.0.1/release");
        http.serve("/nowhere", 302, "moved");
    }
    // "ok" or the failure's text.
    std::string feed(const std::string& url) {
        return test::outcomeOf([&] {
            EXPECT_EQ(fetchUpdateManifest(url, nullptr, root().certificatePEM()).version, "1.4.0");
        });
    }
    std::string download(const std::string& url) {
        InstallOptions o;
        o.trustedCertificatesPEM = root().certificatePEM();
        const std::string outcome = test::outcomeOf([&] { downloadArchive(url, file, o); });
        EXPECT_EQ(fs::exists(file), outcome == "ok") << "a failed download leaves no file behind";
        return outcome;
    }
    std::string install(const Release& release, long processID = test::exitedProcessID());

    test::ScratchDir dir;
    fs::path file = dir.path() / "update.zip";
    fs::path installed = dir.path() / "Apps" / "Trayline.app";
    fs::path relaunched = dir.path() / "Apps" / "relaunched";
    fs::path temp = dir.path() / "tmp";
    test::LoopbackServer http;
    test::LoopbackServer https{&httpsServer()};
    InstallLaunch launch;
    std::vector<InstallStage> stages;
};

struct Route {
    const char* name;
    const char* path;    // on the http server
    const char* reason;  // why it fails, "" when it does not; $HTTP stands for the http server
};

void PrintTo(const Route& row, std::ostream* os) { *os << row.name; }

class FeedAndArchive : public UpdateTest, public ::testing::WithParamInterface<Route> {};

TEST_P(FeedAndArchive, ArriveThroughRedirectsOrFailWithTheReason) {
    std::string reason = GetParam().reason;
    if (const auto at = reason.find("$HTTP"); at != std::string::npos)
        reason.replace(at, 5, http.url(""));
    EXPECT_EQ(feed(http.url(GetParam().path)), reason.empty() ? "ok" : "Update check failed: " + reason);
    EXPECT_EQ(download(http.url(GetParam().path)), reason.empty() ? "ok" : "Download failed: " + reason);
    if (reason.empty()) {
        EXPECT_EQ(test::readFile(file), kFeed) << "only the last reply's body is kept";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FeedAndArchive,
    ::testing::Values(
        Route{"ServerError", "/busy", "HTTP 500"},
        Route{"TwoRedirectsOneRelative", "/301", ""},
        Route{"FromHttpToHttps", "/to-https", ""}, Route{"TenRedirects", "/r1", ""},
        Route{"ElevenRedirects", "/r0", "more than 10 redirects"},
        Route{"Loop", "/a", "redirect loop at $HTTP/a"},
        Route{"BackToHttpAfterHttps", "/via-https", "redirect from https to http refused: $HTTP/release"},
        Route{"OtherScheme", "/ftp", "redirect to another scheme refused: ftp://127.0.0.1/release"},
        Route{"NoLocation", "/nowhere", "HTTP 302"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(UpdateTest, FeedIsAskedForFreshOrReadFromAFileButArchivesComeOverHttpOnly) {
    EXPECT_EQ(feed(http.url("/release")), "ok");
    EXPECT_EQ(http.cacheControlSeen(), std::vector<std::string>{"no-cache"});
    // The scratch directory's name holds a space, which a URL carries percent-encoded.
    const auto fileURL = [this](const std::string& name) {
        return "file://" + std::regex_replace((dir.path() / name).string(), std::regex(" "), "%20");
    };
    test::writeFile(dir.path() / "appcast.json", kFeed);
    EXPECT_EQ(feed(fileURL("appcast.json")), "ok");
    EXPECT_TRUE(download(fileURL("appcast.json")).starts_with("Unsupported protocol"));
    http.serve("/html", 200, "<html>maintenance</html>");
    EXPECT_THROW(fetchUpdateManifest(http.url("/html")), DecodingError) << "undecodable is not a bad feed";
}

// Publishes the release on the http server and installs it; "ok" or the failure's text.
std::string UpdateTest::install(const Release& r, long processID) {
    const fs::path bundle = dir.path() / "stage" / "Trayline.app";
    test::makeBundle(bundle, r.version);
    if (r.signer)
        r.signer->sign(bundle);
    r.afterSigning(bundle);
    auto entries = test::entriesOf(bundle.parent_path(), "Trayline.app");
    entries.insert(entries.end(), r.extraEntries.begin(), r.extraEntries.end());
    const std::string zip = r.rawArchive.value_or(test::makeZip(entries));
    http.serve("/T.zip", 200, zip);
    InstallOptions o;
    o.rootCertificatePEM = root().certificatePEM();
    o.teamIdentifier = kTeam;
    o.installedBundle = dir.path() / r.installedIn / "Trayline.app";
    o.temporaryDirectory = temp;
    o.processID = processID;
    const std::string url = http.url("/T.zip");
    const UpdateManifest manifest{r.manifestVersion, {}, {}, url, r.checksum(sha256Of(zip)), {}, {}};
    return test::outcomeOf(
        [&] { launch = installUpdate(manifest, o, [this](InstallStage s) { stages.push_back(s); }); });
}

// What the folder of the installed bundle holds besides it.
std::vector<std::string> besides(const fs::path& bundle) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(bundle.parent_path()))
        if (entry.path() != bundle)
            names.push_back(entry.path().filename().string());
    return names;
}

TEST_F(UpdateTest, InstallWaitsForTheAppToExitThenSwapsInTheNewBundleWithOurModesAndStartsIt) {
    const pid_t app = ::fork();
    if (app == 0) {  // the running app, until the test ends it
        ::pause();
        ::_exit(0);
    }
    Release release;
    release.afterSigning = [](const fs::path& b) {  // the seal covers contents, not modes
        fs::permissions(b / "Contents/bin/trayline", fs::perms(04777));
        fs::permissions(b / "Contents/Info.plist", fs::perms(0666));
    };
    release.extraEntries.push_back({"Trayline.app/Contents", "", 040777});
    release.checksum = [](std::string digest) {  // letter case does not matter
        std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
        return digest;
    };
    EXPECT_EQ(install(release, app), "ok");
    EXPECT_EQ(stages,
              (std::vector{InstallStage::downloading, InstallStage::verifying, InstallStage::installing}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(AppInfo::versionOf(installed), "1.3.9") << "swapped while the app was still running";
    EXPECT_EQ(launch.workDirectory.parent_path(), installed.parent_path())
        << "beside the installed bundle, so that both moves are renames";
    EXPECT_EQ(fs::status(launch.workDirectory).permissions(), fs::perms(0700))
        << "the work directory is private";

    ::kill(app, SIGKILL);
    ::waitpid(app, nullptr, 0);
    ASSERT_TRUE(test::waitForFile(relaunched));
    EXPECT_EQ(test::readFile(relaunched), "1.4.0");
    for (const auto& [path, mode] : {std::pair{"Contents/bin/trayline", 0755}, {"Contents/Info.plist", 0644},
                                     {"Contents", 0755}})
        EXPECT_EQ(fs::status(installed / path).permissions(), fs::perms(mode)) << path;
    EXPECT_EQ(besides(installed), std::vector<std::string>{"relaunched"})
        << "the old bundle and the work directory are gone";
}

// The signature files are looked at before they are read: a FIFO would block the read forever.
TEST_F(UpdateTest, SignatureFilesThatAreNotRegularFilesAreRefusedWithoutBeingRead) {
    for (const std::string_view signatureFile : {kCodeResourcesPath, kCodeSignaturePath}) {
        const fs::path bundle = dir.path() / "fifo" / "Trayline.app";
        test::makeBundle(bundle, "1.4.0");
        ourSigner().sign(bundle);
        fs::remove(bundle / signatureFile);
        ASSERT_EQ(::mkfifo((bundle / signatureFile).c_str(), 0644), 0);
        auto outcome = std::async(std::launch::async, [&] {
            return test::outcomeOf([&] { verifyBundleSignature(bundle, root().certificatePEM(), kTeam); });
        });
        if (outcome.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "still reading " << signatureFile;
            ::close(::open((bundle / signatureFile).c_str(), O_WRONLY | O_NONBLOCK));  // lets the reader go
        }
        EXPECT_EQ(outcome.get(), "Download rejected: not signed by the expected developer.\nnot a regular file: " +
                                     std::string(signatureFile));
        fs::remove_all(bundle.parent_path());
    }
}

TEST_F(UpdateTest, InstallerPutsTheOldBundleBackWhenTheNewOneCannotMoveIn) {
    const fs::path script = dir.path() / "install.sh";
    writeFileAtomically(script, installerScript(test::exitedProcessID()), 0700);
    const auto quoted = [](const fs::path& p) { return " '" + p.string() + "'"; };
    const fs::path missing = dir.path() / "unpacked" / "Trayline.app";
    const int status =
        std::system(("/bin/sh" + quoted(script) + quoted(missing) + quoted(installed)).c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(AppInfo::versionOf(installed), "1.3.9");
    EXPECT_FALSE(fs::exists(installed.string() + ".old"));
    EXPECT_FALSE(fs::exists(relaunched));

    // What a failed swap or a killed install left beside the bundle goes at a later start, once
    // a day old: a younger one may belong to an installer still running.
    const fs::path left = installed.parent_path() / "TraylineUpdate-1", recent = installed.parent_path() / "TraylineUpdate-2";
    fs::create_directories(left / "unpacked");
    fs::create_directories(recent);
    fs::last_write_time(left, fs::file_time_type::clock::now() - std::chrono::hours(25));
    InstallOptions o;
    o.installedBundle = installed;
    sweepWorkDirectories(o);
    EXPECT_EQ(besides(installed), std::vector<std::string>{"TraylineUpdate-2"});
}

struct Failure {
    const char* name;
    std::function<void(Release&, const fs::path& scratch)> change;
    std::string expected;  // "$DIR" stands for the scratch directory
};

void PrintTo(const Failure& row, std::ostream* os) { *os << row.name; }

class InstallFailure : public UpdateTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(InstallFailure, IsReportedAndLeavesTheAppUntouched) {
    Release release;
    GetParam().change(release, dir.path());
    std::string expected = GetParam().expected;
    if (const auto at = expected.find("$DIR"); at != std::string::npos)
        expected.replace(at, 4, dir.path().string());
    EXPECT_EQ(install(release), expected);
    EXPECT_EQ(AppInfo::versionOf(installed), "1.3.9");
    EXPECT_TRUE(!fs::exists(temp) || fs::is_empty(temp)) << "leftovers in the temp dir";
    EXPECT_EQ(besides(installed), std::vector<std::string>()) << "leftovers beside the app";
}

const std::string kRejected = "Download rejected: not signed by the expected developer.\n";
const std::string kUnzip = "Download failed: could not unzip (";
const unsigned kLink = 0120777;  // a symlink's st_mode
using F = Failure;
using R = Release&;
using P = const fs::path&;

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallFailure,
    ::testing::Values(
        F{"WrongChecksum", [](R r, P) { r.checksum = [](auto) { return std::string(64, '0'); }; },
          "Download rejected: checksum doesn't match the manifest."},
        F{"AbsoluteEntry", [](R r, P d) { r.extraEntries.push_back({(d / "abs.txt").string(), "x"}); },
          kUnzip + "Path is absolute: $DIR/abs.txt)"},
        F{"DotDotEntry", [](R r, P) { r.extraEntries.push_back({"../../escaped.txt", "x"}); },
          kUnzip + "Path contains '..': ../../escaped.txt)"},
        F{"SymlinkOutside", [](R r, P) { r.extraEntries.push_back({"Trayline.app/x", "../../x", kLink}); },
          kUnzip + "Symlink points outside the archive: Trayline.app/x -> ../../x)"},
        F{"Unsigned", [](R r, P) { r.signer = nullptr; }, kRejected + "code object is not signed at all"},
        F{"OtherRoot", [](R r, P) { r.signer = &stranger(); },
          kRejected + "the signing certificate is not trusted (unable to get local issuer certificate)"},
        F{"OtherTeam", [](R r, P) { r.signer = &otherTeam(); },
          kRejected + "the signing certificate belongs to team OTHERTEAM1, not TESTTEAM01"},
        F{"FileAddedAfterSigning",
          [](R r, P) { r.afterSigning = [](P b) { test::writeFile(b / "Contents/x", ""); }; },
          kRejected + "file added: Contents/x"},
        F{"FileChangedAfterSigning",
          [](R r, P) { r.afterSigning = [](P b) { test::writeFile(b / "Contents/bin/trayline", ""); }; },
          kRejected + "a sealed resource is missing or invalid: Contents/bin/trayline"},
        F{"SealEditedAfterSigning",
          [](R r, P) {
              r.afterSigning = [](P b) {
                  test::writeFile(b / "Contents/x", "");
                  const std::string seal = test::readFile(b / kCodeResourcesPath);
                  test::writeFile(b / kCodeResourcesPath, seal + sha256Of("") + "  Contents/x\n");
              };
          },
          kRejected + "invalid signature (code or signature have been modified)"},
        F{"SymlinkInsideBundle",
          [](R r, P) { r.afterSigning = [](P b) { fs::create_symlink("bin", b / "Contents/run"); }; },
          kRejected + "not a regular file: Contents/run"},
        F{"VersionMismatch", [](R r, P) { r.manifestVersion = "1.4"; },
          "Download rejected: bundle is v1.4.0, manifest promised v1.4."},
        // Tests run as root, whom permission bits do not stop: a path under a file is unwritable.
        F{"InstalledLocationNotWritable",
          [](R r, P d) {
              test::writeFile(d / "a file", "");
              r.installedIn = "a file";
          },
          "Can't replace $DIR/a file/Trayline.app \u2014 no write permission."}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline

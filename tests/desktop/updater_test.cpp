// The update schedule, the feed check and the installation as the panel sees them: real requests
// to a loopback feed, real archives and bundles, the real event loop, short injected intervals.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSignalSpy>

#include "core/settings/app_info.h"
#include "core/settings/config.h"
#include "core/update/sha256.h"
#include "core/update/update_test_support.h"
#include "desktop/models/updater.h"
#include "qt_test_support.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kTeam = "TESTTEAM01";
const QString kLatest = QStringLiteral("You're on the latest version (v%1).");

std::string feed(const std::string& version, const std::string& url,
                 const std::string& sha256 = "") {
    return R"({"version":")" + version + R"(","url":")" + url + R"(","sha256":")" + sha256 +
           R"(","notes":"Faster.","extra":1})";
}

// Accepts connections but never answers, so a request to it stays in flight until cancelled.
class SilentPort {
public:
    SilentPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("silent port");
        port_ = ntohs(addr.sin_port);
    }
    ~SilentPort() { ::close(fd_); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    int fd_;
    int port_ = 0;
};

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override { Config::setUpdateFeedURL(server.url("/appcast.json")); }

    // Reads the feed URL from the setting.
    std::unique_ptr<Updater> make(const std::string& running = "1.3.9",
                                  std::chrono::milliseconds period = 1h) {
        Updater::Options o;
        o.firstDelay = 10ms;
        o.period = period;
        o.clock = [this] { return now; };
        o.runningVersion = running;
        o.install.rootCertificatePEM = root.certificatePEM();
        o.install.teamIdentifier = kTeam;
        o.install.installedBundle = installed;
        o.install.temporaryDirectory = dir.path() / "tmp";
        o.install.processID = test::exitedProcessID();
        o.quit = [this] { ++quits; };
        return std::make_unique<Updater>(std::move(o));
    }
    void serveFeed(const std::string& body, int status = 200) {
        server.serve("/appcast.json", status, body);
    }
    std::string zipURL() const { return server.url("/Trayline-1.4.0.zip"); }
    std::size_t requests() const { return server.cacheControlSeen().size(); }

    // Runs one check to its end.
    static void runCheck(Updater& u, bool manual) {
        QSignalSpy finished(&u, &Updater::checkFinished);
        u.check(manual);
        ASSERT_TRUE(u.isChecking());
        ASSERT_TRUE(finished.wait(15000));
        EXPECT_FALSE(u.isChecking());
    }

    test::TempProfile profile;  // autoUpdate and the feed setting start at their defaults
    test::ScratchDir dir;
    test::LoopbackServer server;
    test::Identity root = test::Identity::makeRoot("Test Root");
    fs::path installed = dir.path() / "Apps" / "Trayline.app";
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    int quits = 0;
};

TEST_F(UpdaterTest, NewerReleaseIsOfferedByManualAndAutomaticChecks) {
    serveFeed(feed("1.4.0", zipURL()));
    auto manual = make();
    manual->checkNow();
    EXPECT_EQ(manual->status(), "Checking\u2026");
    QSignalSpy finished(manual.get(), &Updater::checkFinished);
    ASSERT_TRUE(finished.wait(15000));
    ASSERT_TRUE(manual->available());
    EXPECT_EQ(manual->available()->url, zipURL());
    EXPECT_EQ(manual->availableVersion(), "1.4.0");
    EXPECT_EQ(manual->availableNotes(), "Faster.");
    EXPECT_TRUE(manual->status().isNull());
    EXPECT_TRUE(manual->errorMessage().isNull());
    EXPECT_TRUE(manual->lastCheck().isValid());
    EXPECT_TRUE(manual->showsBanner());

    auto automatic = make();
    QSignalSpy statuses(automatic.get(), &Updater::statusChanged);
    runCheck(*automatic, false);
    EXPECT_EQ(automatic->availableVersion(), "1.4.0");
    EXPECT_EQ(statuses.count(), 0);  // an automatic check never shows "Checking…"
}

TEST_F(UpdaterTest, NothingNewerClearsTheOfferAndOnlyAManualCheckSaysSo) {
    auto u = make("1.4.0");
    serveFeed(feed("1.10", zipURL()));  // numeric order: 1.10 is newer than 1.4.0
    runCheck(*u, true);
    EXPECT_EQ(u->availableVersion(), "1.10");

    serveFeed(feed("1.4.0", zipURL()));
    now += 61s;
    runCheck(*u, false);
    EXPECT_FALSE(u->hasAvailable());
    EXPECT_TRUE(u->status().isNull());

    serveFeed(feed("1.3", zipURL()));
    runCheck(*u, true);
    EXPECT_FALSE(u->hasAvailable());
    EXPECT_EQ(u->status(), kLatest.arg("1.4.0"));

    auto dev = make("dev");  // a build-tree binary is never offered a release
    runCheck(*dev, true);
    EXPECT_FALSE(dev->hasAvailable());
    EXPECT_EQ(dev->status(), kLatest.arg("dev"));
}

TEST_F(UpdaterTest, FailedCheckKeepsTheOfferAndShowsItsReasonOnlyWhenManual) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        std::optional<std::string> feedURL;
        std::optional<QString> expected;  // none: the decoder's or the transport's own text
    };
    const std::vector<Case> cases{
        {"404", 404, "", {}, "Update check failed: HTTP 404"},
        {"500", 500, feed("9.0", "x"), {}, "Update check failed: HTTP 500"},
        {"garbage", 200, "<html>not json</html>", {}, {}},
        {"no url", 200, R"({"version":"9.0"})", {}, {}},
        {"array", 200, "[" + feed("9.0", "x") + "]", {}, {}},
        {"bad URL", 200, "", "not a url", "Update check failed: bad feed URL"},
        {"refused", 200, "", "http://127.0.0.1:1/appcast.json", {}},
    };
    serveFeed(feed("1.4.0", zipURL()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Config::setUpdateFeedURL(server.url("/appcast.json"));
        auto u = make();
        runCheck(*u, true);
        ASSERT_EQ(u->availableVersion(), "1.4.0");

        // The setting is read at each check.
        Config::setUpdateFeedURL(c.feedURL.value_or(server.url("/failing.json")));
        server.serve("/failing.json", c.status, c.body);
        now += 61s;
        QSignalSpy lastChecks(u.get(), &Updater::lastCheckChanged);
        QSignalSpy errors(u.get(), &Updater::errorMessageChanged);
        runCheck(*u, false);
        EXPECT_EQ(lastChecks.count(), 1);
        EXPECT_EQ(errors.count(), 0);
        EXPECT_TRUE(u->status().isNull());
        EXPECT_EQ(u->availableVersion(), "1.4.0");

        runCheck(*u, true);
        ASSERT_FALSE(u->errorMessage().isEmpty());
        if (c.expected) {
            EXPECT_EQ(u->errorMessage(), *c.expected);
        }
        EXPECT_TRUE(u->status().isNull());
        EXPECT_EQ(u->availableVersion(), "1.4.0");
        EXPECT_EQ(lastChecks.count(), 2);

        // The next check clears the error as it starts.
        Config::setUpdateFeedURL(server.url("/appcast.json"));
        u->check(false);  // within the spacing: refused, error stays
        EXPECT_FALSE(u->isChecking());
        EXPECT_FALSE(u->errorMessage().isEmpty());
        u->checkNow();
        EXPECT_TRUE(u->errorMessage().isNull());
        ASSERT_TRUE(QSignalSpy(u.get(), &Updater::checkFinished).wait(15000));
    }
}

TEST_F(UpdaterTest, AutomaticChecksKeepTheirSpacingManualOnesDoNot) {
    serveFeed(feed("1.4.0", zipURL()));
    auto u = make();
    runCheck(*u, false);
    const auto sent = requests();
    now += 30s;
    u->check(false);
    EXPECT_FALSE(u->isChecking());
    runCheck(*u, true);  // a manual one runs, and restarts the spacing
    EXPECT_EQ(requests(), sent + 1);
    now += 59s;
    u->check(false);
    EXPECT_FALSE(u->isChecking());
    now += 1s;
    runCheck(*u, false);
    EXPECT_EQ(requests(), sent + 2);
}

TEST_F(UpdaterTest, StartChecksAfterTheFirstDelayThenEveryPeriod) {
    serveFeed(feed("1.4.0", zipURL()));
    auto u = make("1.3.9", 150ms);
    QSignalSpy finished(u.get(), &Updater::checkFinished);
    u->start();
    u->start();  // twice in a row: still one first check
    EXPECT_TRUE(u->isScheduled());
    EXPECT_FALSE(u->isChecking());
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(requests(), 1u);
    EXPECT_EQ(u->availableVersion(), "1.4.0");
    now += 61s;  // the period's tick passes the spacing
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(requests(), 2u);
    QTest::qWait(200);  // a tick within the spacing does nothing
    EXPECT_EQ(requests(), 2u);

    Config::setAutoUpdate(false);
    now += 61s;
    u->start();
    EXPECT_FALSE(u->isScheduled());
    QTest::qWait(400);
    EXPECT_EQ(requests(), 2u);
    runCheck(*u, true);  // the user can still ask
    EXPECT_EQ(requests(), 3u);
}

TEST_F(UpdaterTest, TurningAutoUpdateOffCancelsThePendingFirstCheck) {
    serveFeed(feed("1.4.0", zipURL()));
    Updater::Options o;
    o.firstDelay = 100ms;
    o.feedURL = server.url("/appcast.json");
    Updater u(std::move(o));
    u.start();
    Config::setAutoUpdate(false);
    u.start();
    QTest::qWait(300);
    EXPECT_EQ(requests(), 0u);
    EXPECT_FALSE(u.lastCheck().isValid());
}

TEST_F(UpdaterTest, DismissHidesTheBannerForThatVersionOnly) {
    auto u = make();
    QSignalSpy dismissed(u.get(), &Updater::dismissedVersionChanged);
    u->dismiss();  // nothing available
    EXPECT_TRUE(u->dismissedVersion().isNull());
    EXPECT_EQ(dismissed.count(), 0);

    serveFeed(feed("1.4.0", zipURL()));
    runCheck(*u, true);
    QSignalSpy banner(u.get(), &Updater::showsBannerChanged);
    u->dismiss();
    EXPECT_EQ(u->dismissedVersion(), "1.4.0");
    EXPECT_FALSE(u->showsBanner());
    EXPECT_TRUE(u->hasAvailable());
    EXPECT_EQ(banner.count(), 1);

    serveFeed(feed("1.5.0", zipURL()));
    runCheck(*u, true);
    EXPECT_TRUE(u->showsBanner());
    EXPECT_EQ(u->dismissedVersion(), "1.4.0");
}

std::vector<QString> statusesOf(const QSignalSpy& spy) {
    std::vector<QString> out;
    for (const auto& args : spy)
        out.push_back(args.at(0).toString());
    return out;
}

TEST_F(UpdaterTest, OneBusyFlagForChecksAndInstallations) {
    serveFeed(feed("1.4.0", zipURL()));  // the archive itself answers 404
    auto u = make();
    u->checkNow();
    u->checkNow();
    u->check(false);
    u->install();  // refused: a check runs
    EXPECT_EQ(u->status(), "Checking\u2026");
    ASSERT_TRUE(QSignalSpy(u.get(), &Updater::checkFinished).wait(15000));
    ASSERT_EQ(u->availableVersion(), "1.4.0");

    QSignalSpy failed(u.get(), &Updater::installFailed);
    QSignalSpy statuses(u.get(), &Updater::statusChanged);
    u->install();
    EXPECT_TRUE(u->isChecking());
    EXPECT_EQ(u->status(), "Downloading v1.4.0\u2026");
    now += 1h;
    u->checkNow();
    u->check(false);
    u->install();
    EXPECT_EQ(u->status(), "Downloading v1.4.0\u2026");
    ASSERT_TRUE(failed.wait(15000));
    QTest::qWait(100);  // a second installation would have failed by now as well
    EXPECT_EQ(failed.count(), 1);
    EXPECT_EQ(requests(), 2u);  // one feed request, one download
    EXPECT_EQ(u->errorMessage(), "Download failed: HTTP 404");
    EXPECT_TRUE(u->status().isNull());
    EXPECT_FALSE(u->isChecking());
    EXPECT_EQ(u->availableVersion(), "1.4.0");
    EXPECT_EQ(statusesOf(statuses), (std::vector<QString>{"Downloading v1.4.0\u2026", QString()}));
    EXPECT_EQ(quits, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "tmp") && !fs::is_empty(dir.path() / "tmp"));

    runCheck(*u, true);  // the flag is free again
}

TEST_F(UpdaterTest, RejectedArchiveReportsWhyAfterVerifying) {
    server.serve("/Trayline-1.4.0.zip", 200, "not even a zip");
    serveFeed(feed("1.4.0", zipURL(), std::string(64, 'a')));
    auto u = make();
    runCheck(*u, true);
    QSignalSpy statuses(u.get(), &Updater::statusChanged);
    QSignalSpy failed(u.get(), &Updater::installFailed);
    u->install();
    ASSERT_TRUE(failed.wait(15000));
    EXPECT_EQ(statusesOf(statuses),
              (std::vector<QString>{"Downloading v1.4.0\u2026", "Verifying\u2026", QString()}));
    EXPECT_EQ(u->errorMessage(), "Download rejected: checksum doesn't match the manifest.");
    EXPECT_FALSE(u->isChecking());
    EXPECT_EQ(quits, 0);
}

TEST_F(UpdaterTest, VerifiedReleaseStartsTheInstallerThenQuits) {
    test::makeBundle(installed, "1.3.9");
    const fs::path stage = dir.path() / "stage";
    test::makeBundle(stage / "Trayline.app", "1.4.0");
    root.issueSigner(kTeam).sign(stage / "Trayline.app");
    const std::string zip = test::makeZip(test::entriesOf(stage, "Trayline.app"));
    server.serve("/Trayline-1.4.0.zip", 200, zip);
    serveFeed(feed("1.4.0", zipURL(), sha256Of(zip)));

    auto u = make();
    runCheck(*u, true);
    QSignalSpy statuses(u.get(), &Updater::statusChanged);
    u->install();
    ASSERT_TRUE(test::spinUntil([&] { return quits > 0; }));
    EXPECT_EQ(statusesOf(statuses), (std::vector<QString>{"Downloading v1.4.0\u2026",
                                                          "Verifying\u2026", "Installing\u2026"}));
    EXPECT_TRUE(u->isChecking());  // until the process ends
    EXPECT_TRUE(u->errorMessage().isNull());
    QTest::qWait(50);
    EXPECT_EQ(quits, 1);

    // The installer, waiting for an exited process, swaps the bundles and starts the new one.
    ASSERT_TRUE(test::waitForFile(dir.path() / "Apps" / "relaunched"));
    EXPECT_EQ(test::readFile(dir.path() / "Apps" / "relaunched"), "1.4.0");
    EXPECT_EQ(AppInfo::versionOf(installed), "1.4.0");
}

TEST_F(UpdaterTest, DestroyedWhileWaitingEndsTheRequestAndDropsItsOutcome) {
    SilentPort silent;
    serveFeed(feed("1.4.0", silent.url("/Trayline-1.4.0.zip")));
    for (const bool installing : {false, true}) {
        SCOPED_TRACE(installing ? "download" : "feed");
        auto u = make();
        if (installing) {
            runCheck(*u, true);
            u->install();
        } else {
            Config::setUpdateFeedURL(silent.url("/appcast.json"));
            u->checkNow();
        }
        QTest::qWait(100);  // the request is on its way and unanswered
        ASSERT_TRUE(u->isChecking());
        QElapsedTimer clock;
        clock.start();
        u.reset();
        EXPECT_LT(clock.elapsed(), 1900);  // cancelled, not abandoned by the pool's time limit
        QTest::qWait(50);                  // a late outcome would land here
        Config::setUpdateFeedURL(server.url("/appcast.json"));
    }
    EXPECT_EQ(quits, 0);
}

}  // namespace
}  // namespace trayline

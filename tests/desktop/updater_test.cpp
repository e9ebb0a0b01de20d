// What the desktop Updater adds to the core update steps, against a loopback feed with short
// injected intervals: schedule, spacing, banner, one busy flag, the install wiring, no GUI waits.

#include "core/update/sha256.h"
#include "core/update/update_test_support.h"
#include "desktop/models/updater.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const QString kChecking = QStringLiteral("Checking\u2026");
const QString kDownloading = QStringLiteral("Downloading v1.4.0\u2026");

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override { Config::setUpdateFeedURL(server.url("/appcast.json")); }

    std::unique_ptr<Updater> make(bool installsUpdates = true) {
        Updater::Options o;
        o.installsUpdates = installsUpdates;
        o.firstDelay = 10ms;
        o.period = 150ms;
        o.clock = [this] { return now; };
        o.runningVersion = "1.3.9";
        o.install.rootCertificatePEM = root.certificatePEM();
        o.install.teamIdentifier = "TESTTEAM01";
        o.install.installedBundle = installed;
        o.install.temporaryDirectory = dir.path() / "tmp";
        o.install.processID = test::exitedProcessID();
        o.quit = [this] { ++quits; };
        auto u = std::make_unique<Updater>(std::move(o));
        QObject::connect(u.get(), &Updater::statusChanged, [this](const QString& s) { statuses << s; });
        return u;
    }
    void serveFeed(const std::string& version, const std::string& sha256 = "", std::string url = "") {
        url = url.empty() ? zipURL() : url;
        server.serve("/appcast.json", 200, R"({"version":")" + version + R"(","url":")" + url +
                                               R"(","sha256":")" + sha256 + R"(","notes":"Faster."})");
    }
    std::string zipURL() const { return server.url("/Trayline-1.4.0.zip"); }
    std::size_t requests() const { return server.cacheControlSeen().size(); }
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
    QStringList statuses;  // as shown, of every updater made
};

TEST_F(UpdaterTest, AnOfferComesWithTheFeedAndItsBannerGoesForTheDismissedVersionOnly) {
    auto u = make();
    serveFeed("1.4.0");
    runCheck(*u, false);
    EXPECT_TRUE(statuses.isEmpty());  // an automatic check shows no progress
    EXPECT_EQ(u->availableNotes(), "Faster.");
    EXPECT_TRUE(u->lastCheck().isValid());
    EXPECT_TRUE(u->showsBanner());
    QSignalSpy banner(u.get(), &Updater::showsBannerChanged);
    u->dismiss();
    EXPECT_FALSE(u->showsBanner());
    EXPECT_TRUE(u->hasAvailable());
    EXPECT_EQ(banner.count(), 1);
    serveFeed("1.5.0");
    runCheck(*u, true);
    EXPECT_TRUE(u->showsBanner());

    serveFeed("1.3.9");
    statuses.clear();
    runCheck(*u, true);
    EXPECT_FALSE(u->hasAvailable());
    EXPECT_FALSE(u->showsBanner());
    EXPECT_EQ(statuses, (QStringList{kChecking, "You're on the latest version (v1.3.9)."}));
}

// A failed check keeps the offer and only a manual one says why. Automatic checks keep 60 s from
// the last check of either kind, manual ones run at once; a check clears the error as it starts.
TEST_F(UpdaterTest, FailuresSpeakOnlyWhenManualAndAutomaticChecksKeepTheirSpacing) {
    serveFeed("1.4.0");
    auto u = make();
    runCheck(*u, true);
    Config::setUpdateFeedURL(server.url("/failing.json"));  // read at each check
    server.serve("/failing.json", 404, "");
    now += 60s;
    runCheck(*u, false);
    EXPECT_TRUE(u->errorMessage().isNull());
    now += 30s;
    runCheck(*u, true);
    EXPECT_EQ(u->errorMessage(), "Update check failed: HTTP 404");
    EXPECT_EQ(u->availableVersion(), "1.4.0");
    EXPECT_EQ(statuses, (QStringList{kChecking, QString(), kChecking, QString()}));
    now += 59s;
    u->check(false);  // refused: the error stays
    EXPECT_FALSE(u->isChecking());
    EXPECT_FALSE(u->errorMessage().isEmpty());
    now += 1s;
    u->check(false);
    EXPECT_TRUE(u->errorMessage().isNull());
    ASSERT_TRUE(QSignalSpy(u.get(), &Updater::checkFinished).wait(15000));
    EXPECT_EQ(requests(), 4u);
}

TEST_F(UpdaterTest, StartChecksAfterTheFirstDelayThenEveryPeriodWhileAutoUpdateIsOn) {
    serveFeed("1.4.0");
    auto u = make();
    QSignalSpy finished(u.get(), &Updater::checkFinished);
    u->start();
    u->start();  // twice in a row: still one first check
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(requests(), 1u);
    now += 61s;  // the period's tick passes the spacing
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(requests(), 2u);

    now += 61s;
    u->start();  // a first check pending ...
    Config::setAutoUpdate(false);
    u->start();  // ... goes with the schedule
    EXPECT_FALSE(u->isScheduled());
    QTest::qWait(400);
    EXPECT_EQ(requests(), 2u);
}

// One busy flag for checks and installations: each is refused while the other runs. A failed
// download says why and frees the flag; a verified release starts the installer, then quits.
TEST_F(UpdaterTest, InstallationsShareTheBusyFlagFailVisiblyAndOtherwiseQuit) {
    serveFeed("1.4.0");  // the archive answers 404 at first
    auto u = make();
    QSignalSpy failed(u.get(), &Updater::installFailed);
    u->checkNow();
    u->install();  // refused: a check runs
    ASSERT_TRUE(QSignalSpy(u.get(), &Updater::checkFinished).wait(15000));
    statuses.clear();
    u->install();
    now += 1h;
    u->checkNow();
    u->check(false);
    u->install();
    ASSERT_TRUE(failed.wait(15000));
    EXPECT_EQ(u->errorMessage(), "Download failed: HTTP 404");
    EXPECT_EQ(statuses, (QStringList{kDownloading, QString()}));
    EXPECT_EQ(requests(), 2u);  // one feed request, one download

    test::makeBundle(installed, "1.3.9");
    const fs::path stage = dir.path() / "stage";
    test::makeBundle(stage / "Trayline.app", "1.4.0");
    root.issueSigner("TESTTEAM01").sign(stage / "Trayline.app");
    const std::string zip = test::makeZip(test::entriesOf(stage, "Trayline.app"));
    server.serve("/Trayline-1.4.0.zip", 200, zip);
    serveFeed("1.4.0", sha256Of(zip));
    runCheck(*u, true);  // the flag is free again
    statuses.clear();
    u->install();
    ASSERT_TRUE(test::spinUntil([&] { return quits > 0; }));
    EXPECT_EQ(statuses, (QStringList{kDownloading, "Verifying\u2026", "Installing\u2026"}));
    EXPECT_TRUE(u->isChecking());  // until the process ends
    EXPECT_TRUE(u->errorMessage().isNull());
    // The installer, waiting for an exited process, swaps the bundles and starts the new one.
    ASSERT_TRUE(test::waitForFile(dir.path() / "Apps" / "relaunched"));
    EXPECT_EQ(failed.count(), 1);
    EXPECT_EQ(quits, 1);
}

// Who replaces the files: a bundle downloads the offer itself; a package's copy reports the version
// and leaves the rest to the package manager, even when the feed offers an archive.
struct Installation {
    const char* name;
    bool installsUpdates;
    QString notice;
    std::size_t requestsAfterInstall;  // one feed request, plus the download when it installs
};

class UpdatePolicy : public UpdaterTest, public ::testing::WithParamInterface<Installation> {};

TEST_P(UpdatePolicy, TheCheckReportsTheVersionAndOnlyABundleDownloads) {
    const Installation& row = GetParam();
    serveFeed("1.4.0");  // the archive answers 404
    auto u = make(row.installsUpdates);
    EXPECT_EQ(u->installsUpdates(), row.installsUpdates);
    EXPECT_TRUE(u->packageManagerNotice().isNull()) << "nothing is available yet";
    runCheck(*u, true);
    EXPECT_EQ(u->availableVersion(), "1.4.0");
    EXPECT_TRUE(u->showsBanner());
    EXPECT_EQ(u->packageManagerNotice(), row.notice);
    QSignalSpy failed(u.get(), &Updater::installFailed);
    statuses.clear();
    u->install();
    if (row.installsUpdates)
        ASSERT_TRUE(failed.wait(15000));
    else
        EXPECT_FALSE(u->isChecking());
    EXPECT_EQ(requests(), row.requestsAfterInstall);
    EXPECT_EQ(statuses.isEmpty(), !row.installsUpdates);
    EXPECT_EQ(quits, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Installs, UpdatePolicy,
    ::testing::Values(Installation{"bundle", true, QString(), 2},
                      Installation{"package", false,
                                   "Version 1.4.0 is available. Update it with your package manager.", 1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(UpdaterTest, DestroyedWhileDownloadingCancelsTheRequestAndDropsItsOutcome) {
    test::SilentPort silent;
    serveFeed("1.4.0", "", silent.url("/Trayline-1.4.0.zip"));
    auto u = make();
    runCheck(*u, true);
    u->install();
    QTest::qWait(100);  // the download is on its way and unanswered
    ASSERT_TRUE(u->isChecking());
    u.reset();
    EXPECT_TRUE(waitForJobs(5000)) << "the download was not cancelled";
    QTest::qWait(50);  // a late outcome would land here
    EXPECT_EQ(quits, 0);
}

}  // namespace
}  // namespace trayline

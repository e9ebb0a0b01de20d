// What the desktop Updater adds to the core update steps, against a loopback feed with short
// injected intervals: schedule, spacing, banner, one busy flag, who installs.

#include "core/update/update_test_support.h"
#include "desktop/models/updater.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;

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
        o.install.installedBundle = dir.path() / "Apps" / "Trayline.app";
        o.install.temporaryDirectory = dir.path() / "tmp";
        o.quit = [this] { ++quits; };
        auto u = std::make_unique<Updater>(std::move(o));
        QObject::connect(u.get(), &Updater::statusChanged, [this](const QString& s) { statuses << s; });
        return u;
    }
    // The archive it names answers 404.
    void serveFeed(const std::string& version) {
        server.serve("/appcast.json", 200, R"({"version":")" + version + R"(","url":")" +
                                               server.url("/Trayline-1.4.0.zip") + R"(","sha256":"","notes":"Faster."})");
    }
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
    serveFeed("1.4.0");
    auto u = make(row.installsUpdates);
    EXPECT_TRUE(u->packageManagerNotice().isNull()) << "nothing is available yet";
    u->checkNow();
    u->install();  // refused: a check runs (one busy flag for both)
    ASSERT_TRUE(QSignalSpy(u.get(), &Updater::checkFinished).wait(15000));
    EXPECT_EQ(u->availableVersion(), "1.4.0");
    EXPECT_TRUE(u->showsBanner());
    EXPECT_EQ(u->packageManagerNotice(), row.notice);
    QSignalSpy failed(u.get(), &Updater::installFailed);
    statuses.clear();
    u->install();
    if (row.installsUpdates) {
        now += 1h;
        u->checkNow();  // refused: an installation runs
        u->check(false);
        ASSERT_TRUE(failed.wait(15000));
        EXPECT_EQ(u->errorMessage(), "Download failed: HTTP 404");
    }
    EXPECT_FALSE(u->isChecking());
    EXPECT_EQ(requests(), row.requestsAfterInstall);
    EXPECT_EQ(statuses, (row.installsUpdates ? QStringList{kDownloading, QString()} : QStringList()));
    EXPECT_EQ(quits, 0);
    runCheck(*u, true);  // the flag is free again
}

INSTANTIATE_TEST_SUITE_P(
    Installs, UpdatePolicy,
    ::testing::Values(Installation{"bundle", true, QString(), 2},
                      Installation{"package", false,
                                   "Version 1.4.0 is available. Update it with your package manager.", 1}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline

#pragma once

// The self-update state for the panel and the settings sheet: the automatic schedule, manual and
// automatic checks of the feed, and the installation of an offered release. Lives on the main
// thread; the feed request and every installation step run on a worker thread, and only their
// outcome (and the installation's stage) is applied here.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QDateTime>
#include <QObject>
#include <QString>

#include "core/update/update_install.h"
#include "core/update/update_manifest.h"
#include "desktop/models/background.h"

class QTimer;

namespace trayline {

class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasAvailable READ hasAvailable NOTIFY availableChanged)
    Q_PROPERTY(QString availableVersion READ availableVersion NOTIFY availableChanged)
    Q_PROPERTY(QString availableNotes READ availableNotes NOTIFY availableChanged)
    Q_PROPERTY(bool isChecking READ isChecking NOTIFY isCheckingChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(QDateTime lastCheck READ lastCheck NOTIFY lastCheckChanged)
    Q_PROPERTY(QString dismissedVersion READ dismissedVersion NOTIFY dismissedVersionChanged)
    Q_PROPERTY(bool showsBanner READ showsBanner NOTIFY showsBannerChanged)
    Q_PROPERTY(bool installsUpdates READ installsUpdates CONSTANT)

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Options {
        std::chrono::milliseconds firstDelay = std::chrono::seconds(5);
        std::chrono::milliseconds period = std::chrono::hours(6);
        // Least time between the end of the last check and an automatic one.
        std::chrono::milliseconds spacing = std::chrono::seconds(60);
        Clock clock = [] { return std::chrono::steady_clock::now(); };
        std::optional<std::string> feedURL;         // none: Config::updateFeedURL() at each check
        std::optional<std::string> runningVersion;  // none: AppInfo::version()
        // Whether this copy replaces itself; none: unless a package installed it.
        std::optional<bool> installsUpdates;
        InstallOptions install = InstallOptions::defaults();
        // Called once the installer runs; it waits for this process to end. None: quit the app.
        std::function<void()> quit;
    };

    explicit Updater(QObject* parent = nullptr);
    explicit Updater(Options options, QObject* parent = nullptr);
    // Cancels a running request; its outcome is dropped.
    ~Updater() override;

    const std::optional<UpdateManifest>& available() const { return available_; }
    bool hasAvailable() const { return available_.has_value(); }
    QString availableVersion() const;  // null when nothing is available
    QString availableNotes() const;    // null when nothing is available or it has no notes
    bool isChecking() const { return checking_; }
    QString status() const { return status_; }              // null when absent
    QString errorMessage() const { return errorMessage_; }  // null when absent
    QDateTime lastCheck() const { return lastCheck_; }      // invalid until a check has ended
    QString dismissedVersion() const { return dismissedVersion_; }
    // An update is available and its version is not the dismissed one.
    bool showsBanner() const;
    // Whether the automatic schedule is running.
    bool isScheduled() const;
    QString runningVersion() const { return runningVersion_; }
    // False for a copy a package installed: its files are the package manager's, so checks still
    // run and report, but nothing is downloaded or replaced.
    bool installsUpdates() const { return installsUpdates_; }
    // For such a copy with a newer release available: "Version X is available. Update it with your
    // package manager."; null otherwise.
    QString packageManagerNotice() const;

    // (Re)starts the automatic schedule as Config::autoUpdate() now says: a check after the first
    // delay, then one every period. With autoUpdate off, nothing is scheduled.
    void start();
    // One check of the feed. Returns at once; the outcome arrives as property changes and
    // checkFinished. Refused while a check or installation runs, and an automatic one within the
    // spacing after the last check.
    void check(bool manual);
    void checkNow() { check(true); }
    void dismiss();
    // Downloads, verifies and installs the available release, then calls the quit callback.
    // Refused when nothing is available, a check or installation runs, or the copy does not
    // install its own updates.
    void install();

Q_SIGNALS:
    void availableChanged();
    void isCheckingChanged(bool checking);
    void statusChanged(const QString& status);
    void errorMessageChanged(const QString& message);
    void lastCheckChanged();
    void dismissedVersionChanged();
    void showsBannerChanged();
    // A check ended (successfully or not); not sent for refused checks.
    void checkFinished();
    // An installation failed; errorMessage holds why.
    void installFailed();

private:
    void finishCheck(bool manual, Outcome<UpdateManifest> outcome);
    void finishInstall(Outcome<InstallLaunch> outcome);
    void onStage(InstallStage stage);
    void setAvailable(std::optional<UpdateManifest> manifest);
    void setChecking(bool checking);
    void setStatus(const QString& status);
    void setErrorMessage(const QString& message);
    void setDismissedVersion(const QString& version);
    void markChecked();

    Options options_;
    QString runningVersion_;
    bool installsUpdates_;
    QTimer* firstCheck_;
    QTimer* timer_;

    std::optional<UpdateManifest> available_;
    bool checking_ = false;
    QString status_;
    QString errorMessage_;
    QDateTime lastCheck_;
    std::optional<std::chrono::steady_clock::time_point> lastCheckTime_;  // for the spacing
    QString dismissedVersion_;

    // Shared with the workers, which may outlive this object by a moment.
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    WorkerPool pool_{1};  // checks and installations never overlap
};

}  // namespace trayline

#include "desktop/models/updater.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include "core/settings/app_info.h"
#include "core/settings/config.h"
#include "core/update/update_feed.h"

namespace trayline {

Updater::Updater(QObject* parent) : Updater(Options{}, parent) {}

Updater::Updater(Options options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      runningVersion_(QString::fromStdString(options_.runningVersion.value_or(AppInfo::version()))),
      installsUpdates_(options_.installsUpdates.value_or(!AppInfo::currentPackagePrefix())),
      firstCheck_(new QTimer(this)),
      timer_(new QTimer(this)) {
    if (!options_.install.cancel)
        options_.install.cancel = cancel_.get();
    firstCheck_->setSingleShot(true);
    // Both timers are children: once this object is gone they can no longer fire.
    connect(firstCheck_, &QTimer::timeout, this, [this] { check(false); });
    connect(timer_, &QTimer::timeout, this, [this] { check(false); });
    // What an install killed midway or a failed swap left beside the bundle (file work, so not here).
    if (installsUpdates_)
        inBackground(pool_.get(), this, [install = options_.install] { sweepWorkDirectories(install); },
                     [](Outcome<Done>) {});
}

Updater::~Updater() {
    cancel_->store(true);  // the feed request or download ends promptly; its outcome is dropped
}

QString Updater::availableVersion() const {
    return available_ ? QString::fromStdString(available_->version) : QString();
}

QString Updater::availableNotes() const {
    return available_ && available_->notes ? QString::fromStdString(*available_->notes) : QString();
}

QString Updater::packageManagerNotice() const {
    if (installsUpdates_ || !available_)
        return {};
    return QStringLiteral("Version %1 is available. Update it with your package manager.").arg(availableVersion());
}

bool Updater::showsBanner() const {
    return available_ && availableVersion() != dismissedVersion_;
}

bool Updater::isScheduled() const {
    return firstCheck_->isActive() || timer_->isActive();
}

void Updater::start() {
    timer_->stop();
    // A first check still pending from an earlier start goes too, so switching autoUpdate off
    // right after launch really stops automatic checks.
    firstCheck_->stop();
    if (!Config::autoUpdate())
        return;
    firstCheck_->start(options_.firstDelay);
    timer_->start(options_.period);
}

void Updater::check(bool manual) {
    if (checking_)
        return;
    if (!manual && lastCheckTime_ && options_.clock() - *lastCheckTime_ < options_.spacing)
        return;
    setChecking(true);
    setErrorMessage(QString());
    if (manual)
        setStatus(QStringLiteral("Checking\u2026"));
    std::string url = options_.feedURL.value_or(Config::updateFeedURL());
    inBackground(
        pool_.get(), this,
        [url = std::move(url), cancel = cancel_] { return fetchUpdateManifest(url, cancel.get()); },
        [this, manual](Outcome<UpdateManifest> outcome) { finishCheck(manual, std::move(outcome)); });
}

void Updater::finishCheck(bool manual, Outcome<UpdateManifest> outcome) {
    markChecked();
    if (outcome.error) {
        setStatus(QString());
        if (manual)
            setErrorMessage(errorText(outcome.error));
    } else if (isNewerVersion(outcome.value->version, runningVersion_.toStdString())) {
        setAvailable(std::move(outcome.value));
        setStatus(QString());
    } else {
        setAvailable(std::nullopt);
        setStatus(manual
                      ? QStringLiteral("You're on the latest version (v%1).").arg(runningVersion_)
                      : QString());
    }
    setChecking(false);
    Q_EMIT checkFinished();
}

void Updater::dismiss() {
    setDismissedVersion(availableVersion());
}

void Updater::install() {
    if (!available_ || checking_ || !installsUpdates_)
        return;
    setErrorMessage(QString());
    setChecking(true);
    setStatus(QStringLiteral("Downloading v%1\u2026").arg(availableVersion()));
    // The stage is reported from the worker: it reaches this object through the application
    // object, which outlives every worker, and is applied only if this object still exists.
    auto progress = [guard = QPointer<Updater>(this)](InstallStage stage) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, stage] {
                if (guard)
                    guard->onStage(stage);
            },
            Qt::QueuedConnection);
    };
    inBackground(
        pool_.get(), this,
        [manifest = *available_, options = options_.install, keepAlive = cancel_, progress] {
            (void)keepAlive;  // options.cancel may point into it
            return installUpdate(manifest, options, progress);
        },
        [this](Outcome<InstallLaunch> outcome) { finishInstall(std::move(outcome)); });
}

void Updater::onStage(InstallStage stage) {
    if (!checking_)
        return;
    switch (stage) {
        case InstallStage::downloading:
            break;  // already shown when the installation started
        case InstallStage::verifying:
            setStatus(QStringLiteral("Verifying\u2026"));
            break;
        case InstallStage::installing:
            setStatus(QStringLiteral("Installing\u2026"));
            break;
    }
}

void Updater::finishInstall(Outcome<InstallLaunch> outcome) {
    if (outcome.error) {
        setStatus(QString());
        setErrorMessage(errorText(outcome.error));
        setChecking(false);
        Q_EMIT installFailed();
        return;
    }
    // The installer waits for this process to end; isChecking stays true until then.
    if (options_.quit)
        options_.quit();
    else
        QCoreApplication::quit();
}

void Updater::markChecked() {
    lastCheckTime_ = options_.clock();
    lastCheck_ = QDateTime::currentDateTimeUtc();
    Q_EMIT lastCheckChanged();
}

void Updater::setAvailable(std::optional<UpdateManifest> manifest) {
    if (available_ == manifest)
        return;
    const bool banner = showsBanner();
    available_ = std::move(manifest);
    Q_EMIT availableChanged();
    if (banner != showsBanner())
        Q_EMIT showsBannerChanged();
}

void Updater::setChecking(bool checking) {
    if (checking_ == checking)
        return;
    checking_ = checking;
    Q_EMIT isCheckingChanged(checking_);
}

void Updater::setStatus(const QString& status) {
    if (status_ == status && status_.isNull() == status.isNull())
        return;
    status_ = status;
    Q_EMIT statusChanged(status_);
}

void Updater::setErrorMessage(const QString& message) {
    if (errorMessage_ == message && errorMessage_.isNull() == message.isNull())
        return;
    errorMessage_ = message;
    Q_EMIT errorMessageChanged(errorMessage_);
}

void Updater::setDismissedVersion(const QString& version) {
    if (dismissedVersion_ == version && dismissedVersion_.isNull() == version.isNull())
        return;
    const bool banner = showsBanner();
    dismissedVersion_ = version;
    Q_EMIT dismissedVersionChanged();
    if (banner != showsBanner())
        Q_EMIT showsBannerChanged();
}

}  // namespace trayline

#include "desktop/models/settings_model.h"

#include <QPromise>

#include "core/auth/token_store.h"
#include "core/settings/config.h"
#include "desktop/models/app_model.h"
#include "desktop/models/background.h"
#include "desktop/models/updater.h"
#include "desktop/platform/login_item.h"

namespace trayline {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

SettingsValues storedValues(const Keychain& keychain) {
    SettingsValues v;
    v.instanceURL = q(Config::instanceURL());
    v.clientID = q(Config::clientID());
    v.clientSecret = q(Config::clientSecret(keychain));
    v.table = q(Config::table());
    v.groupSysID = q(Config::groupSysID());
    v.groupStates = q(Config::groupStates());
    v.pollMinutes = Config::pollMinutes();
    v.notifyNewRequest = Config::notifyNewRequest();
    v.notifyAssignedToMe = Config::notifyAssignedToMe();
    v.autoUpdate = Config::autoUpdate();
    v.updateFeedURL = q(Config::updateFeedURL());
    v.mcpAllowWrites = Config::mcpAllowWrites();
    return v;
}

void store(const SettingsValues& v, const Keychain& keychain) {
    Config::setInstanceURL(v.instanceURL.toStdString());
    Config::setClientID(v.clientID.toStdString());
    Config::setClientSecret(v.clientSecret.toStdString(), keychain);  // trimmed by the setter
    Config::setTable(v.table.isEmpty() ? std::string("sc_task") : v.table.toStdString());
    Config::setGroupSysID(v.groupSysID.toStdString());
    Config::setGroupStates(v.groupStates.isEmpty() ? std::string("1,2,3") : v.groupStates.toStdString());
    Config::setPollMinutes(v.pollMinutes >= 2 ? v.pollMinutes : 1);
    Config::setNotifyNewRequest(v.notifyNewRequest);
    Config::setNotifyAssignedToMe(v.notifyAssignedToMe);
    Config::setAutoUpdate(v.autoUpdate);
    Config::setUpdateFeedURL(v.updateFeedURL.toStdString());
    Config::setMcpAllowWrites(v.mcpAllowWrites);
}

}  // namespace

SettingsModel::SettingsModel(AppModel* model, QThreadPool* pool) : QObject(model), model_(model), pool_(pool) {}

QFuture<SettingsValues> SettingsModel::load() {
    auto promise = std::make_shared<QPromise<SettingsValues>>();
    promise->start();
    const auto keychain = model_->auth()->tokens().keychain();
    inBackground(pool_, this, [keychain] { return storedValues(keychain); }, [promise](Outcome<SettingsValues> values) {
        if (values.error)
            promise->setException(values.error);
        else
            promise->addResult(std::move(*values.value));
        promise->finish();
    });
    return promise->future();
}

QFuture<QString> SettingsModel::save(const SettingsValues& values, const SettingsFollowUp& followUp) {
    auto promise = std::make_shared<QPromise<QString>>();
    promise->start();
    const auto keychain = model_->auth()->tokens().keychain();
    inBackground(pool_, this, [values, keychain, write = pendingWrite()] { store(values, keychain); },
                 [this, promise, followUp](Outcome<Done> stored) {
        // Even a partly failed save may have changed what isConfigured says.
        model_->recheckReadiness().then(this, [this, promise, followUp, error = stored.error] {
            if (error)
                promise->setException(error);
            else
                promise->addResult(follow(followUp));
            promise->finish();
        });
    });
    return promise->future();
}

QString SettingsModel::follow(const SettingsFollowUp& followUp) {
    if (followUp.loginItem) {
        try {
            followUp.loginItem->setEnabled(followUp.launchAtLogin);
        } catch (const std::exception& e) {
            return QStringLiteral("Couldn't update login item: ") + QString::fromStdString(e.what());
        }
    }
    model_->startPolling();
    if (followUp.updater)
        followUp.updater->start();
    return {};
}

QFuture<void> SettingsModel::storeFeedURL(const QString& url) {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    inBackground(pool_, this, [url = url.toStdString(), write = pendingWrite()] { Config::setUpdateFeedURL(url); },
                 [promise](Outcome<Done> stored) {
                     if (stored.error)
                         promise->setException(stored.error);
                     promise->finish();
                 });
    return promise->future();
}

}  // namespace trayline

#pragma once

// The settings sheet's store: reads what the sheet starts from and saves what it holds, on the
// model's workers, because the client secret lives in the keyring (which may wait for the user to
// unlock it) and every setting is a locked file write.

#include <cstdint>

#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QString>

class QThreadPool;

namespace trayline {

class AppModel;
class LoginItem;
class Updater;

// The sheet's fields as text and switches.
struct SettingsValues {
    QString instanceURL;
    QString clientID;
    QString clientSecret;
    QString table;
    QString groupSysID;
    QString groupStates;
    std::int64_t pollMinutes = 5;
    bool notifyNewRequest = true;
    bool notifyAssignedToMe = true;
    bool autoUpdate = true;
    QString updateFeedURL;
    bool mcpAllowWrites = false;

    bool operator==(const SettingsValues&) const = default;
};

// What a stored save leads to: the login item follows the sheet's box and, when it agreed, polling
// and the update schedule restart so the new values apply at once.
struct SettingsFollowUp {
    LoginItem* loginItem = nullptr;  // lives as long as the app; nullptr: left alone
    bool launchAtLogin = false;
    QPointer<Updater> updater;
};

class SettingsModel : public QObject {
    Q_OBJECT

public:
    SettingsModel(AppModel* model, QThreadPool* pool);

    // The stored values as the sheet shows them: the raw stored texts (the instance URL normalised),
    // the defaults where nothing is stored, the client secret from the keyring ("" when missing).
    QFuture<SettingsValues> load();
    // Stores the fields in this order: instance URL and client ID, the client secret (trimmed), the
    // table ("sc_task" for an empty field), group, states ("1,2,3" for an empty field), the poll
    // interval (1 below 2), the three switches, the feed URL, the MCP write switch. Then reads
    // whether the application is configured again, so the model has the answer when this finishes,
    // and runs the follow-up. Fails with the first write's error (what() is the text); earlier
    // writes stay stored and nothing follows. Otherwise the result is the login item's refusal
    // ("Couldn't update login item: " + its text; polling and updates then stay as they were), or
    // empty. The follow-up runs here, not in the sheet, so a sheet closed meanwhile loses none of it.
    QFuture<QString> save(const SettingsValues& values, const SettingsFollowUp& followUp = {});
    // Stores just the feed URL (trimmed), for a manual update check of an unsaved address.
    QFuture<void> storeFeedURL(const QString& url);

private:
    QString follow(const SettingsFollowUp& followUp);

    AppModel* model_;
    QThreadPool* pool_;
};

}  // namespace trayline

#pragma once

// The settings sheet: a scrolling form over private copies of every setting. Nothing is stored
// until "Save" (except the feed URL, which "Check now" stores first so a manual check uses the
// address just typed); leaving the sheet any other way discards the edits. The stored values
// arrive from a worker (the client secret is in the keyring); the form is disabled until then.

#include "desktop/models/settings_model.h"
#include "desktop/ui/sheet_parts.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace trayline {

class AppModel;
class GlobalShortcut;
class LoginItem;
class Updater;

namespace ui {
class SettingsMcpGroup;
}

class SettingsView : public ui::Sheet {
    Q_OBJECT

public:
    // `delay` times the "Copied" label of the snippets; by default a timer on this sheet.
    // `executable` is what the MCP snippets register (the running executable by default).
    SettingsView(AppModel* model, Updater* updater, LoginItem* loginItem, QWidget* parent = nullptr,
                 ui::DelayedCall delay = {}, QString executable = {});

    // The Startup section's line on the panel's keyboard shortcut follows this one (none: the
    // line says to bind "trayline --toggle").
    void showShortcut(const GlobalShortcut* shortcut);

    // The stored values have arrived and fill the form.
    bool isLoaded() const { return loaded_; }
    bool isSaving() const { return saving_; }
    // What the form holds now.
    SettingsValues values() const;
    ui::SettingsMcpGroup* mcpGroup() const { return mcp_; }
    QPushButton* saveButton() const { return save_; }

Q_SIGNALS:
    void loaded();
    // A Save has ended: closed the sheet, or stayed with an error shown.
    void saveFinished();

private:
    QWidget* buildForm();
    void fill(const SettingsValues& values);
    void save();
    void finishSave(const SettingsValues& saved, const QString& loginItemRefusal);
    void checkNow();
    void showUpdates();
    void showAccount();

    AppModel* model_;
    Updater* updater_;
    LoginItem* loginItem_;
    QString executable_;
    ui::DelayedCall delay_;
    bool loaded_ = false;
    bool saving_ = false;

    QWidget* form_ = nullptr;
    QLineEdit* instanceURL_ = nullptr;
    QLineEdit* clientID_ = nullptr;
    QLineEdit* clientSecret_ = nullptr;
    QLineEdit* table_ = nullptr;
    QLineEdit* groupSysID_ = nullptr;
    QLineEdit* groupStates_ = nullptr;
    QSpinBox* pollMinutes_ = nullptr;
    QCheckBox* notifyNewRequest_ = nullptr;
    QCheckBox* notifyAssignedToMe_ = nullptr;
    QCheckBox* launchAtLogin_ = nullptr;
    ui::TintedLabel* loginItemError_ = nullptr;
    ui::TintedLabel* shortcut_ = nullptr;
    QCheckBox* autoUpdate_ = nullptr;
    QLineEdit* updateFeedURL_ = nullptr;
    QPushButton* checkNow_ = nullptr;
    ui::TintedLabel* updateCaption_ = nullptr;
    ui::TintedLabel* updateError_ = nullptr;
    ui::SettingsMcpGroup* mcp_ = nullptr;
    QWidget* accountDot_ = nullptr;
    QLabel* accountText_ = nullptr;
    QPushButton* signOut_ = nullptr;
    ui::TintedLabel* saveError_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace trayline

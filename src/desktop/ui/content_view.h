#pragma once

// The panel: header, update banner, one middle area and footer. The middle area is the settings
// sheet, release notes, "Loading…", the sign-in prompt, the assign or close sheet, or the task
// lists, by the first rule that holds (panel_logic.h). Sheets are built when shown and dropped when
// left, so each starts fresh; the lists stay, so the tab survives.

#include <functional>
#include <optional>

#include <QPointer>
#include <QWidget>

#include "core/servicenow/sn_task.h"
#include "desktop/ui/panel_logic.h"
#include "desktop/ui/task_row.h"

class QStackedWidget;

namespace trayline {
class AppModel;
class GlobalShortcut;
class LoginItem;
class Updater;
}

namespace trayline::ui {

class SignInPrompt;
class TaskListView;
class UpdateBanner;

class ContentView : public QWidget {
    Q_OBJECT

public:
    struct Services {
        TaskRow::Services rows;          // links, clock and date formats of the rows
        std::function<void()> quit;      // default: end the application
        LoginItem* loginItem = nullptr;  // default: the XDG autostart entry (owned here)
        const GlobalShortcut* shortcut = nullptr;  // the desktop-wide shortcut, when there is one
    };

    ContentView(AppModel* model, Updater* updater, Services services, QWidget* parent = nullptr);
    ContentView(AppModel* model, Updater* updater, QWidget* parent = nullptr);
    ~ContentView() override;

    MiddleArea middleArea() const { return shown_; }
    QWidget* middleWidget() const;
    TaskListView* lists() const { return lists_; }

    // Opens the current tab's list on the instance.
    void openListInBrowser();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void signIn();
    void updateBanner();
    void updateMiddle();
    QWidget* makeSheet(MiddleArea area);
    void dropSheet(QPointer<QWidget>& sheet);
    void orderFocusLater();
    void orderFocus();

    AppModel* model_;
    Updater* updater_;
    Services services_;
    std::unique_ptr<LoginItem> ownLoginItem_;

    bool showingSettings_ = false;
    bool showingChangelog_ = false;
    bool showingUpdateNotes_ = false;
    std::optional<SNTask> assigningTask_;
    std::optional<SNTask> closingTask_;
    QString signInError_;
    bool signingIn_ = false;

    UpdateBanner* banner_;
    QWidget* bannerLine_;
    QStackedWidget* middle_;
    QWidget* loading_;
    SignInPrompt* signInPrompt_;
    TaskListView* lists_;
    QPointer<QWidget> settingsSheet_, notesSheet_, assignSheet_, closeSheet_;
    MiddleArea shown_ = MiddleArea::loading;
    bool focusOrderPending_ = false;
};

}  // namespace trayline::ui

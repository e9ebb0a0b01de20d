#pragma once

// One task in the panel's list with every per-task action: copying numbers and text, opening the
// task, its requested item or its request, and asking for assignment or closing. The row changes
// nothing itself; it emits intents that the panel and the model act on.

#include <functional>

#include <QWidget>

#include "core/platform/time.h"
#include "core/servicenow/sn_task.h"
#include "desktop/ui/copy_confirmation.h"
#include "desktop/ui/task_row_parts.h"

class QLabel;
class QMenu;
class QToolButton;

namespace trayline::ui {

class WrappingText;

class TaskRow : public QWidget {
    Q_OBJECT

public:
    // What the row reaches outside itself; each default is the real desktop service.
    struct Services {
        UrlOpener openUrl;                          // default: the desktop's browser
        std::function<Instant()> now;               // default: the system clock
        CopyConfirmation::Scheduler scheduler;      // default: a single-shot timer
        std::function<DateFormatter()> dates;       // default: DateFormatter::current()
    };

    TaskRow(const SNTask& task, bool showAssignee, QWidget* parent = nullptr,
            Services services = {});

    const SNTask& task() const { return task_; }
    // Shows another version of the task (or another task) in this row, keeping a running copy
    // confirmation.
    void setTask(const SNTask& task);
    void setShowAssignee(bool show);
    bool showsAssignee() const { return showAssignee_; }
    // Recomputes the age and updated texts against the current time.
    void refreshTimes();

    // "number", "full" or empty: which copy button shows its checkmark.
    QString copyConfirmation() const { return confirmation_->shown(); }
    // The row's context menu as it would open now (the caller owns it).
    QMenu* buildContextMenu(QWidget* parent);

Q_SIGNALS:
    void assignToMeRequested(const trayline::SNTask& task);
    void assignRequested(const trayline::SNTask& task);
    void closeRequested(const trayline::SNTask& task);

protected:
    void changeEvent(QEvent* event) override;
    // The age and updated texts advance whenever the row is shown again.
    void showEvent(QShowEvent* event) override;

private:
    void build();
    void applyColours();
    QToolButton* iconButton(const QString& toolTip);
    void apply();
    void applyConfirmation();
    void openLink(const std::optional<std::string>& url);

    SNTask task_;
    bool showAssignee_;
    Services services_;
    CopyConfirmation* confirmation_;
    bool applyingColours_ = false;

    QLabel* number_ = nullptr;
    NumberChip* ritmChip_ = nullptr;
    NumberChip* requestChip_ = nullptr;
    QToolButton* copyNumber_ = nullptr;
    QLabel* age_ = nullptr;
    StateBadge* badge_ = nullptr;
    QToolButton* copyAll_ = nullptr;
    QToolButton* reassign_ = nullptr;
    QToolButton* close_ = nullptr;
    QToolButton* open_ = nullptr;
    WrappingText* title_ = nullptr;
    WrappingText* description_ = nullptr;
    QWidget* caller_ = nullptr;
    QLabel* callerIcon_ = nullptr;
    QLabel* callerName_ = nullptr;
    QLabel* assignee_ = nullptr;
    QLabel* updated_ = nullptr;
};

}  // namespace trayline::ui

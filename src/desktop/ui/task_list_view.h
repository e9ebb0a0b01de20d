#pragma once

// The panel's normal middle area: the five tab chips, the member chips, the red error line and the
// list of the current tab's tasks. Rows are kept per task (sys_id) and updated in place, so a
// refresh that changes one task redraws one row, and a refresh with no news redraws nothing.

#include <string>
#include <unordered_map>

#include <QWidget>

#include "desktop/ui/task_row.h"

class QLabel;
class QScrollArea;
class QStackedWidget;
class QVBoxLayout;

namespace trayline {
class AppModel;
}

namespace trayline::ui {

class ChipButton;
class FlowLayout;
class TintedLabel;

class TaskListView : public QWidget {
    Q_OBJECT

public:
    TaskListView(AppModel* model, TaskRow::Services rowServices, QWidget* parent = nullptr);

    const std::string& tab() const { return tab_; }
    void setTab(const std::string& tab);
    bool showsAllMembers() const { return showAllTabs_; }
    // The rows now listed, top to bottom.
    std::vector<TaskRow*> rows() const;

Q_SIGNALS:
    void assignRequested(const trayline::SNTask& task);
    void closeRequested(const trayline::SNTask& task);
    // Rows or chips came, went or moved.
    void contentChanged();
    // "Open the full list" beside a list that shows only the first rows.
    void openListRequested();

private:
    void updateTabChips();
    void rebuildMemberChips();
    void updateList();
    void updateError();
    TaskRow* rowFor(const SNTask& task, bool showAssignee);

    AppModel* model_;
    TaskRow::Services rowServices_;
    std::string tab_ = "mine";
    bool showAllTabs_ = false;

    std::vector<std::pair<std::string, ChipButton*>> tabChips_;
    QWidget* members_;
    FlowLayout* memberFlow_;
    TintedLabel* error_;
    QWidget* truncated_;
    TintedLabel* truncatedText_;
    QStackedWidget* body_;
    QLabel* emptyText_;
    QScrollArea* scroll_;
    QVBoxLayout* rowLayout_;
    std::unordered_map<std::string, TaskRow*> rows_;
};

}  // namespace trayline::ui

#pragma once

// The assign sheet: pick a person from the group's members or from a name search, then assign the
// task (and, when wanted, its requested item) to them. Typing searches after the text has stood
// still for 0.3 seconds; a newer keystroke cancels the pending search, and an older search's answer
// never replaces a newer one's. The picked person stays picked across searches.

#include <chrono>
#include <cstdint>
#include <optional>

#include "core/servicenow/sn_task.h"
#include "core/servicenow/sn_user.h"
#include "desktop/models/task_order.h"
#include "desktop/ui/sheet_parts.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace trayline {

class AppModel;

class AssignView : public ui::Sheet {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kDebounce{300};

    // `delay` runs the debounce; by default a timer on this sheet.
    AssignView(const SNTask& task, AppModel* model, QWidget* parent = nullptr, ui::DelayedCall delay = {});

    const std::optional<SNUser>& selected() const { return selected_; }
    const UserList& results() const { return results_; }
    bool isWorking() const { return working_; }

    QLineEdit* searchField() const { return search_; }
    QListWidget* resultList() const { return list_; }
    QCheckBox* requestItemBox() const { return alsoRITM_; }  // null without a requested item
    QLabel* errorLabel() const { return error_; }
    QPushButton* confirmButton() const { return confirm_; }
    QPushButton* cancelButton() const { return cancel_; }

Q_SIGNALS:
    // A member list or search answer has arrived (applied, kept out of a search, or failed).
    void lookupAnswered();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void loadGroupMembers();
    void scheduleSearch(const QString& text);
    void search(const QString& text);
    void setResults(UserList people);
    void pick(QListWidgetItem* item);
    void markSelected();
    void performAssign();
    void setError(const QString& text);
    void updateConfirm();

    SNTask task_;
    AppModel* model_;
    ui::DelayedCall delay_;

    UserList results_;
    std::optional<SNUser> selected_;
    bool working_ = false;
    bool loadedOnce_ = false;
    bool marking_ = false;  // the selection is being set to the picked person
    std::uint64_t searchSeq_ = 0;  // the pending search; bumped by every keystroke

    QLineEdit* search_;
    QListWidget* list_;
    QCheckBox* alsoRITM_ = nullptr;
    ui::TintedLabel* error_;
    QPushButton* cancel_;
    QPushButton* confirm_;
};

}  // namespace trayline

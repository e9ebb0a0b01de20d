#pragma once

// The close sheet: close one task with a customer-visible resolution. The resolution is sent with
// white space and line breaks trimmed from both ends; what is typed between stays as typed.
// Leaving the sheet while the close runs does not stop it: the request completes and the model
// refreshes.

#include "core/servicenow/sn_task.h"
#include "desktop/ui/sheet_parts.h"

class QPlainTextEdit;
class QPushButton;

namespace trayline {

class AppModel;

class CloseView : public ui::Sheet {
    Q_OBJECT

public:
    CloseView(const SNTask& task, AppModel* model, QWidget* parent = nullptr);

    bool isWorking() const { return working_; }
    QPlainTextEdit* editor() const { return editor_; }
    QLabel* errorLabel() const { return error_; }
    QPushButton* confirmButton() const { return confirm_; }
    QPushButton* cancelButton() const { return cancel_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void performClose();
    void updateConfirm();

    SNTask task_;
    AppModel* model_;
    bool working_ = false;

    QPlainTextEdit* editor_;
    ui::TintedLabel* error_;
    QPushButton* cancel_;
    QPushButton* confirm_;
};

}  // namespace trayline

#include "desktop/ui/close_view.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/models/app_model.h"
#include "desktop/models/background.h"
#include "desktop/models/task_actions.h"

namespace trayline {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CloseView::CloseView(const SNTask& task, AppModel* model, QWidget* parent)
    : Sheet(parent), task_(task), model_(model) {
    auto* column = beginTaskSheet(QStringLiteral("Close ") + q(task.number.display));

    auto* summary = new ui::TintedLabel(ui::NamedColor::Secondary, ui::TextStyle::Caption);
    summary->setTextFormat(Qt::PlainText);
    summary->setText(q(task.effectiveShortDescription()));
    summary->setAccessibleName(summary->text());
    summary->setFitted(2);
    column->addWidget(summary);

    const QString label = QStringLiteral("Resolution (Customer Visible) — required");
    auto* caption = new ui::TintedLabel(ui::NamedColor::Secondary, ui::TextStyle::Caption, nullptr, QFont::DemiBold);
    caption->setText(label);
    column->addWidget(caption);

    editor_ = new QPlainTextEdit;
    editor_->setFont(ui::font(ui::TextStyle::Callout));
    editor_->setMinimumHeight(140);
    editor_->setTabChangesFocus(true);
    editor_->setAccessibleName(label);
    editor_->setObjectName(QStringLiteral("resolution"));
    const QColor outline = ui::color(ui::NamedColor::Gray);
    editor_->setStyleSheet(QStringLiteral("QPlainTextEdit#resolution { border: 1px solid rgba(%1, %2, %3, 89); "
                                          "border-radius: 6px; padding: 2px; }")
                               .arg(outline.red())
                               .arg(outline.green())
                               .arg(outline.blue()));
    caption->setBuddy(editor_);
    editor_->installEventFilter(this);
    column->addWidget(editor_, 1);
    connect(editor_, &QPlainTextEdit::textChanged, this, &CloseView::updateConfirm);

    error_ = ui::errorLabel(4);
    column->addWidget(error_);

    addButtonRow(column, &cancel_, &confirm_);
    connect(confirm_, &QPushButton::clicked, this, &CloseView::performClose);
    updateConfirm();
    setFocusProxy(editor_);
}

void CloseView::performClose() {
    const QString resolution = editor_->toPlainText().trimmed();
    if (resolution.isEmpty() || working_)
        return;
    working_ = true;
    ui::showText(error_, QString());
    updateConfirm();
    model_->actions()->close(task_, resolution).then(this, [this](QFuture<void> closed) {
        try {
            closed.waitForFinished();
        } catch (...) {
            working_ = false;
            ui::showText(error_, errorText(std::current_exception()));
            updateConfirm();
            return;
        }
        Q_EMIT done();  // the model has refreshed
    });
}

void CloseView::updateConfirm() {
    ui::setLabel(confirm_, working_ ? QStringLiteral("Closing…") : QStringLiteral("Close task"));
    confirm_->setEnabled(!working_ && !editor_->toPlainText().trimmed().isEmpty());
}


bool CloseView::eventFilter(QObject* watched, QEvent* event) {
    // In the editor Return starts a new line; Ctrl+Return confirms, Escape cancels.
    if (watched == editor_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool isReturn = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (isReturn && (key->modifiers() & Qt::ControlModifier)) {
            if (confirm_->isEnabled())
                confirm_->click();
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            cancel_->click();
            return true;
        }
    }
    return Sheet::eventFilter(watched, event);
}

}  // namespace trayline

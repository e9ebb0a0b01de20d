#include "desktop/ui/assign_view.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "desktop/models/app_model.h"
#include "desktop/models/background.h"
#include "desktop/models/task_actions.h"
#include "desktop/ui/text_fit.h"

namespace trayline {

namespace {

enum Role { EmailRole = Qt::UserRole + 1, SysIDRole, PickedRole };

QString q(const std::string& s) { return QString::fromStdString(s); }

// A person: the name, the e-mail address below it when there is one, a blue check mark when picked.
class PersonDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const int name = QFontMetrics(option.font).height();
        const bool mail = !index.data(EmailRole).toString().isEmpty();
        return {option.rect.width(), 8 + name + (mail ? QFontMetrics(ui::font(ui::TextStyle::Caption)).height() : 0)};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem base(option);
        initStyleOption(&base, index);
        base.text.clear();
        base.state &= ~QStyle::State_Selected;
        base.widget->style()->drawControl(QStyle::CE_ItemViewItem, &base, painter, base.widget);

        const QRect r = option.rect.adjusted(6, 4, -6, -4);
        const QPalette& p = option.palette;
        const int mark = r.height() >= 16 ? 16 : r.height();
        QRect text = r.adjusted(0, 0, -(mark + 8), 0);
        painter->save();
        painter->setFont(option.font);
        painter->setPen(p.color(QPalette::Text));
        const QFontMetrics nameMetrics(option.font);
        painter->drawText(text.left(), text.top() + nameMetrics.ascent(),
                          nameMetrics.elidedText(ui::oneLine(index.data(Qt::DisplayRole).toString()), Qt::ElideRight, text.width()));
        const QString mail = index.data(EmailRole).toString();
        if (!mail.isEmpty()) {
            const QFont caption = ui::font(ui::TextStyle::Caption);
            const QFontMetrics mailMetrics(caption);
            painter->setFont(caption);
            painter->setPen(ui::color(ui::NamedColor::Secondary, p));
            painter->drawText(text.left(), text.top() + nameMetrics.height() + mailMetrics.ascent(),
                              mailMetrics.elidedText(ui::oneLine(mail), Qt::ElideRight, text.width()));
        }
        if (index.data(PickedRole).toBool()) {
            const QRect at(r.right() - mark, r.center().y() - mark / 2, mark, mark);
            ui::icon("checkmark", ui::color(ui::NamedColor::Blue, p)).paint(painter, at);
        }
        painter->restore();
    }
};

// The people: the picked person is the list's one selected row, so a screen reader reports it as
// selected and can pick a row by its action or by selecting it. Arrow keys only move the focus;
// a click, Space or Return picks.
class PeopleList : public QListWidget {
public:
    using QListWidget::QListWidget;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index, const QEvent* event) const override {
        // A click picks (a ctrl-click too: nothing unpicks a person); keys and drags do not.
        const bool click = index.isValid() && event && event->type() == QEvent::MouseButtonPress;
        return click ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::NoUpdate;
    }
};

}  // namespace

AssignView::AssignView(const SNTask& task, AppModel* model, QWidget* parent, ui::DelayedCall delay)
    : Sheet(parent), task_(task), model_(model), delay_(delay ? std::move(delay) : ui::singleShotOn(this)) {
    auto* column = beginTaskSheet(QStringLiteral("Assign ") + q(task.number.display));

    auto* summary = new ui::TintedLabel(ui::NamedColor::Secondary, ui::TextStyle::Caption);
    const QString description = q(task.effectiveShortDescription());
    summary->setTextFormat(Qt::PlainText);
    summary->setText(description);
    summary->setFitted(1);  // shortened to the width the sheet really has
    summary->setAccessibleName(description);
    summary->setToolTip(description);
    column->addWidget(summary);

    search_ = new QLineEdit;
    const QString prompt = QStringLiteral("Search people by name (empty = group members)…");
    search_->setPlaceholderText(prompt);
    search_->setAccessibleName(prompt);
    search_->setClearButtonEnabled(true);
    column->addWidget(search_);
    connect(search_, &QLineEdit::textChanged, this, &AssignView::scheduleSearch);

    list_ = new PeopleList;
    list_->setItemDelegate(new PersonDelegate(list_));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setFrameShape(QFrame::NoFrame);
    list_->viewport()->setAutoFillBackground(false);
    list_->setAccessibleName(QStringLiteral("People"));
    list_->installEventFilter(this);
    column->addWidget(list_, 1);
    connect(list_, &QListWidget::itemClicked, this, &AssignView::pick);
    connect(list_, &QListWidget::itemActivated, this, &AssignView::pick);
    // Selected by a click, the row's accessible action or a screen reader's selection.
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        if (marking_)
            return;
        const auto picked = list_->selectedItems();
        if (picked.isEmpty())
            markSelected();  // nothing unpicks a person; the selection follows the pick again
        else
            pick(picked.front());
    });

    if (!task.requestItem.value.empty()) {
        alsoRITM_ = new QCheckBox(QStringLiteral("Also assign ") + q(task.requestItem.display));
        alsoRITM_->setAccessibleName(alsoRITM_->text());
        alsoRITM_->setChecked(true);
        column->addWidget(alsoRITM_);
    }

    error_ = ui::errorLabel(3);
    column->addWidget(error_);

    addButtonRow(column, &cancel_, &confirm_);
    connect(confirm_, &QPushButton::clicked, this, &AssignView::performAssign);
    updateConfirm();
    setFocusProxy(search_);
}

void AssignView::showEvent(QShowEvent* event) {
    Sheet::showEvent(event);
    if (!loadedOnce_) {
        loadedOnce_ = true;
        loadGroupMembers();
    }
}

void AssignView::loadGroupMembers() {
    model_->actions()->groupMembers().then(this, [this](QFuture<UserList> members) {
        if (members.isCanceled())
            return;  // a newer lookup answers instead
        try {
            UserList people = members.result();
            // Someone typing meanwhile has started a search of their own.
            if (search_->text().isEmpty())
                setResults(std::move(people));
        } catch (...) {
            setError(errorText(std::current_exception()));
        }
        Q_EMIT lookupAnswered();
    });
}

void AssignView::scheduleSearch(const QString& text) {
    const auto seq = ++searchSeq_;
    QPointer<AssignView> self(this);
    delay_(kDebounce, [self, seq, text] {
        if (self && seq == self->searchSeq_)
            self->search(text);
    });
}

void AssignView::search(const QString& text) {
    if (text.trimmed().isEmpty()) {
        loadGroupMembers();
        return;
    }
    model_->actions()->searchUsers(text).then(this, [this](QFuture<UserList> found) {
        if (found.isCanceled())
            return;
        try {
            setResults(found.result());
        } catch (...) {
            setError(errorText(std::current_exception()));
        }
        Q_EMIT lookupAnswered();
    });
}

void AssignView::setResults(UserList people) {
    results_ = std::move(people);
    list_->clear();
    for (const SNUser& person : results_) {
        auto* item = new QListWidgetItem(q(person.name), list_);
        item->setData(EmailRole, q(person.email.value_or("")));
        item->setData(SysIDRole, q(person.sysID));
    }
    markSelected();
}

void AssignView::pick(QListWidgetItem* item) {
    const auto row = static_cast<std::size_t>(list_->row(item));
    if (row >= results_.size())
        return;
    selected_ = results_[row];
    markSelected();
    updateConfirm();
}

void AssignView::markSelected() {
    marking_ = true;
    for (int i = 0; i < list_->count(); ++i) {
        QListWidgetItem* item = list_->item(i);
        const bool picked = selected_ && item->data(SysIDRole).toString() == q(selected_->sysID);
        item->setData(PickedRole, picked);
        item->setSelected(picked);
        QString spoken = item->text();
        if (const QString mail = item->data(EmailRole).toString(); !mail.isEmpty())
            spoken += QStringLiteral(", ") + mail;
        item->setData(Qt::AccessibleTextRole, spoken);
    }
    marking_ = false;
}

void AssignView::performAssign() {
    if (!selected_ || working_)
        return;
    working_ = true;
    setError(QString());
    updateConfirm();
    const bool alsoRITM = alsoRITM_ && alsoRITM_->isChecked() && !task_.requestItem.value.empty();
    model_->actions()->assign(task_, q(selected_->sysID), alsoRITM).then(this, [this](QFuture<void> assigned) {
        try {
            assigned.waitForFinished();
        } catch (...) {
            working_ = false;
            setError(errorText(std::current_exception()));
            updateConfirm();
            return;
        }
        Q_EMIT done();  // the model has refreshed
    });
}

void AssignView::setError(const QString& text) { ui::showText(error_, text); }

void AssignView::updateConfirm() {
    ui::setLabel(confirm_, working_ ? QStringLiteral("Assigning…") : QStringLiteral("Assign"));
    confirm_->setEnabled(selected_.has_value() && !working_);
}

bool AssignView::eventFilter(QObject* watched, QEvent* event) {
    // Space or Return picks the focused row, as a click does; assigning takes a second, deliberate
    // Return outside the list.
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (list_->currentItem())
                pick(list_->currentItem());
            return true;
        }
    }
    return Sheet::eventFilter(watched, event);
}

}  // namespace trayline

#include "desktop/ui/task_list_view.h"

#include <chrono>

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "desktop/models/app_model.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/flow_layout.h"
#include "desktop/ui/panel_chrome.h"
#include "desktop/ui/panel_logic.h"
#include "desktop/ui/sheet_parts.h"

namespace trayline::ui {

TaskListView::TaskListView(AppModel* model, TaskRow::Services rowServices, QWidget* parent)
    : QWidget(parent), model_(model), rowServices_(std::move(rowServices)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* chooser = new QWidget(this);
    auto* chooserColumn = new QVBoxLayout(chooser);
    chooserColumn->setContentsMargins(12, 8, 12, 8);
    chooserColumn->setSpacing(6);
    auto* tabRow = new QHBoxLayout;
    tabRow->setSpacing(6);
    for (const char* value : {"mine", "all", "unassigned", "doneThis", "doneLast"}) {
        auto* chip = new ChipButton(ChipButton::Kind::tab, chooser);
        connect(chip, &ChipButton::clicked, this, [this, value] { setTab(value); });
        tabRow->addWidget(chip);
        tabChips_.emplace_back(value, chip);
    }
    tabRow->addStretch();
    chooserColumn->addLayout(tabRow);
    members_ = new QWidget(chooser);
    memberFlow_ = new FlowLayout(members_, 6);
    memberFlow_->setContentsMargins(0, 0, 0, 0);
    chooserColumn->addWidget(members_);
    column->addWidget(chooser);

    error_ = errorLabel(3, TextStyle::Caption, this);
    error_->setContentsMargins(12, 0, 12, 4);
    column->addWidget(error_);

    // "Showing 100 of 1,515" and the way to the rest, on the instance.
    truncated_ = new QWidget(this);
    auto* truncatedRow = new QHBoxLayout(truncated_);
    truncatedRow->setContentsMargins(12, 0, 12, 4);
    truncatedRow->setSpacing(8);
    truncatedText_ = new TintedLabel(NamedColor::Secondary, TextStyle::Caption, truncated_);
    truncatedRow->addWidget(truncatedText_);
    auto* openFull = flatButton(QStringLiteral("Open the full list"), truncated_);
    connect(openFull, &QPushButton::clicked, this, &TaskListView::openListRequested);
    truncatedRow->addWidget(openFull);
    truncatedRow->addStretch();
    truncated_->hide();
    column->addWidget(truncated_);

    body_ = new QStackedWidget(this);
    emptyText_ = new TintedLabel(NamedColor::Secondary, TextStyle::Body, body_);
    emptyText_->setAlignment(Qt::AlignCenter);
    body_->addWidget(emptyText_);
    scroll_ = new QScrollArea(body_);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* list = new QWidget(scroll_);
    list->setAutoFillBackground(false);
    rowLayout_ = new QVBoxLayout(list);
    rowLayout_->setContentsMargins(12, 0, 12, 0);
    rowLayout_->setSpacing(0);
    rowLayout_->addStretch();
    scroll_->setWidget(list);
    scroll_->viewport()->setAutoFillBackground(false);
    body_->addWidget(scroll_);
    column->addWidget(body_, 1);

    for (auto signal : {&AppModel::myTasksChanged, &AppModel::groupTasksChanged, &AppModel::doneThisMonthChanged,
                        &AppModel::doneLastMonthChanged, &AppModel::lastRefreshChanged}) {
        connect(model_, signal, this, &TaskListView::updateTabChips);
        connect(model_, signal, this, &TaskListView::updateList);
    }
    connect(model_, &AppModel::groupTasksChanged, this, &TaskListView::rebuildMemberChips);
    connect(model_, &AppModel::membersChanged, this, &TaskListView::rebuildMemberChips);
    connect(model_, &AppModel::errorMessageChanged, this, &TaskListView::updateError);
    updateTabChips();
    rebuildMemberChips();
    updateError();
    updateList();
}

void TaskListView::setTab(const std::string& tab) {
    if (tab_ == tab)
        return;
    tab_ = tab;
    updateTabChips();
    rebuildMemberChips();
    updateList();
    scroll_->verticalScrollBar()->setValue(0);
}

void TaskListView::updateTabChips() {
    const auto now = rowServices_.now ? rowServices_.now() : Instant(std::chrono::system_clock::now());
    const auto dates = rowServices_.dates ? rowServices_.dates() : DateFormatter::current();
    // What the instance counts, not only the rows fetched: a queue of 1515 reads 1515.
    const auto count = [](const ListSize& size) { return QString::fromStdString(size.text()); };
    const QString labels[] = {
        QStringLiteral("Mine (") + count(model_->listSize(0)) + QLatin1Char(')'),
        QStringLiteral("All (") + count(model_->listSize(1)) + QLatin1Char(')'),
        QStringLiteral("Unassigned (") + count(model_->unassignedSize()) + QLatin1Char(')'),
        QStringLiteral("Done ") + monthLabel(0, now, dates) + QStringLiteral(" (") + count(model_->listSize(2)) +
            QLatin1Char(')'),
        QStringLiteral("Done ") + monthLabel(-1, now, dates) + QStringLiteral(" (") + count(model_->listSize(3)) +
            QLatin1Char(')'),
    };
    for (std::size_t i = 0; i < tabChips_.size(); ++i) {
        tabChips_[i].second->setLabel(labels[i]);
        tabChips_[i].second->setSelected(tab_ == tabChips_[i].first);
    }
}

void TaskListView::rebuildMemberChips() {
    // Later: the chip being clicked may be among them.
    while (auto* item = memberFlow_->takeAt(0)) {
        item->widget()->hide();
        item->widget()->deleteLater();
        delete item;
    }
    const auto& group = model_->groupTasks();
    auto addMember = [&](const SNUser& member) {
        auto* chip = new ChipButton(ChipButton::Kind::member, members_);
        chip->setLabel(memberChipLabel(member.name, memberTaskCount(group, member.sysID)));
        chip->setSelected(tab_ == member.sysID);
        connect(chip, &ChipButton::clicked, this, [this, id = member.sysID] { setTab(id); });
        memberFlow_->addWidget(chip);
        chip->show();
    };
    for (const auto& member : visibleMembers(model_->members(), group, tab_))
        addMember(member);
    const auto hidden = hiddenMembers(model_->members(), group, tab_);
    if (showAllTabs_)
        for (const auto& member : hidden)
            addMember(member);
    if (!hidden.empty()) {
        auto* toggle = new ChipButton(ChipButton::Kind::toggle, members_);
        toggle->setLabel(showAllTabs_ ? QStringLiteral("\u2039") : QStringLiteral("\u2026"));
        toggle->setToolTip(showAllTabs_ ? QStringLiteral("Hide empty tabs") : QStringLiteral("Show members without tasks"));
        // Read as one check box whose state says whether they are shown.
        toggle->setAccessibleName(QStringLiteral("Show members without tasks"));
        toggle->setSelected(showAllTabs_);
        connect(toggle, &ChipButton::clicked, this, [this] {
            showAllTabs_ = !showAllTabs_;
            rebuildMemberChips();
        });
        memberFlow_->addWidget(toggle);
        toggle->show();
    }
    members_->setVisible(memberFlow_->count() > 0);
    Q_EMIT contentChanged();
}

void TaskListView::updateError() { showText(error_, model_->errorMessage()); }

TaskRow* TaskListView::rowFor(const SNTask& task, bool showAssignee) {
    if (auto it = rows_.find(task.sysID.value); it != rows_.end()) {
        if (!(it->second->task() == task))
            it->second->setTask(task);
        it->second->setShowAssignee(showAssignee);
        return it->second;
    }
    auto* row = new TaskRow(task, showAssignee, scroll_->widget(), rowServices_);
    connect(row, &TaskRow::assignToMeRequested, model_, [this](const SNTask& t) { model_->assignToMe(t); });
    connect(row, &TaskRow::assignRequested, this, &TaskListView::assignRequested);
    connect(row, &TaskRow::closeRequested, this, &TaskListView::closeRequested);
    rows_.emplace(task.sysID.value, row);
    return row;
}

void TaskListView::updateList() {
    const auto tasks = currentTasks(tab_, {model_->myTasks(), model_->groupTasks(), model_->doneThisMonth(),
                                           model_->doneLastMonth()});
    const QString note = truncationNote(tab_, {model_->listSize(0), model_->listSize(1), model_->unassignedSize(),
                                               model_->listSize(2), model_->listSize(3)});
    truncatedText_->setText(note);
    truncated_->setVisible(!note.isEmpty());
    if (tasks.empty()) {
        emptyText_->setText(model_->lastRefresh().isValid() ? QStringLiteral("No tasks \U0001F389")
                                                            : QStringLiteral("Loading\u2026"));
        body_->setCurrentWidget(emptyText_);
    } else {
        body_->setCurrentWidget(scroll_);
    }
    std::unordered_map<std::string, TaskRow*> keep;
    std::vector<TaskRow*> ordered;
    for (const auto& task : tasks) {
        if (keep.count(task.sysID.value))
            continue;  // a task listed twice by the instance gets one row
        auto* row = rowFor(task, showsAssignee(tab_));
        keep.emplace(task.sysID.value, row);
        ordered.push_back(row);
    }
    for (auto& [id, row] : rows_) {
        if (keep.count(id))
            continue;
        row->hide();  // gone from the list now, not at the next turn of the event loop
        rowLayout_->removeWidget(row);
        row->deleteLater();
    }
    rows_ = std::move(keep);
    // Re-lay the rows in list order only when the order changed.
    if (ordered != rows()) {
        while (rowLayout_->count() > 1)
            delete rowLayout_->takeAt(0);
        for (std::size_t i = 0; i < ordered.size(); ++i)
            rowLayout_->insertWidget(static_cast<int>(i), ordered[i]);
    }
    for (auto* row : ordered)
        row->show();
    Q_EMIT contentChanged();
}

std::vector<TaskRow*> TaskListView::rows() const {
    std::vector<TaskRow*> out;
    for (int i = 0; i < rowLayout_->count(); ++i)
        if (auto* row = qobject_cast<TaskRow*>(rowLayout_->itemAt(i)->widget()))
            out.push_back(row);
    return out;
}

}  // namespace trayline::ui

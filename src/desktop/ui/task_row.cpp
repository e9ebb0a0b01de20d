#include "desktop/ui/task_row.h"

#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include "desktop/ui/sheet_parts.h"
#include "desktop/ui/style.h"
#include "desktop/ui/task_row_texts.h"
#include "desktop/ui/wrapping_text.h"

namespace trayline::ui {

namespace {

const QString kNumberKey = QStringLiteral("number");
const QString kFullKey = QStringLiteral("full");

QLabel* textLabel(const QFont& font) {
    auto* label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    return label;
}

// A name on one line that never widens the row: shortened with "…" to the room it gets.
QLabel* nameLabel() {
    auto* label = new TintedLabel(NamedColor::Secondary, TextStyle::Caption2);
    label->setTextFormat(Qt::PlainText);
    label->setFitted(1);
    return label;
}

WrappingText* wrappingText(const QFont& font) {
    auto* text = new WrappingText;
    text->setFont(font);
    return text;
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::Text, colour);
    widget->setPalette(p);
}

void showIfText(QLabel* label, const std::optional<QString>& text) {
    label->setText(text.value_or(QString()));
    label->setVisible(text.has_value());
}

// Instance links are already percent-encoded; none when absent or not a valid URL.
std::optional<QUrl> toUrl(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(*text));
    return url.isValid() ? std::optional(std::move(url)) : std::nullopt;
}

}  // namespace

TaskRow::TaskRow(const SNTask& task, bool showAssignee, QWidget* parent, Services services)
    : QWidget(parent), task_(task), showAssignee_(showAssignee), services_(std::move(services)) {
    if (!services_.openUrl)
        services_.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    if (!services_.now)
        services_.now = [] { return std::chrono::system_clock::now(); };
    if (!services_.dates)
        services_.dates = [] { return DateFormatter::current(); };
    confirmation_ = new CopyConfirmation(this, services_.scheduler);
    connect(confirmation_, &CopyConfirmation::shownChanged, this, &TaskRow::applyConfirmation);
    build();
    apply();
}

QToolButton* TaskRow::iconButton(const QString& toolTip) {
    auto* button = new QToolButton;
    button->setAutoRaise(true);
    button->setToolTip(toolTip);
    button->setAccessibleName(toolTip);
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

void TaskRow::build() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 4, 0, 4);
    column->setSpacing(3);

    auto* top = new QHBoxLayout;
    top->setSpacing(6);
    number_ = textLabel(ui::font(TextStyle::Caption, QFont::Normal, true));
    number_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(number_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (!task_.number.display.empty())
            singleCopyMenu(this, qs(task_.number.display))->popup(number_->mapToGlobal(at));
    });
    top->addWidget(number_);
    ritmChip_ = new NumberChip(services_.openUrl);
    top->addWidget(ritmChip_);

    auto* tight = new QHBoxLayout;
    tight->setSpacing(3);
    requestChip_ = new NumberChip(services_.openUrl);
    tight->addWidget(requestChip_);
    copyNumber_ = iconButton(QString());
    copyNumber_->setIconSize(QSize(11, 11));
    connect(copyNumber_, &QToolButton::clicked, this,
            [this] { confirmation_->copy(qs(task_.primaryNumber()), kNumberKey); });
    tight->addWidget(copyNumber_);
    top->addLayout(tight);

    age_ = textLabel(ui::font(TextStyle::Caption));
    top->addWidget(age_);
    top->addStretch(1);
    badge_ = new StateBadge;
    top->addWidget(badge_);

    copyAll_ = iconButton(QStringLiteral("Copy the whole ticket as text"));
    connect(copyAll_, &QToolButton::clicked, this,
            [this] { confirmation_->copy(qs(task_.clipboardText()), kFullKey); });
    top->addWidget(copyAll_);

    reassign_ = iconButton(QStringLiteral("Reassign"));
    reassign_->setIcon(ui::icon("person.badge.plus"));
    auto* menu = new QMenu(reassign_);
    menu->setObjectName(QStringLiteral("reassignMenu"));
    menu->addAction(QStringLiteral("Assign to me"), this,
                    [this] { Q_EMIT assignToMeRequested(task_); });
    menu->addAction(QStringLiteral("Assign to someone…"), this,
                    [this] { Q_EMIT assignRequested(task_); });
    // A click closes the menu before its entry runs; an entry triggered otherwise (a screen
    // reader's action) would leave it open, holding the pointer grab that swallows the next click.
    connect(menu, &QMenu::triggered, menu, &QMenu::hide);
    connect(reassign_, &QToolButton::clicked, menu,
            [this, menu] { menu->popup(reassign_->mapToGlobal(QPoint(0, reassign_->height()))); });
    top->addWidget(reassign_);

    close_ = iconButton(QStringLiteral("Close task…"));
    close_->setIcon(ui::icon("checkmark.circle"));
    connect(close_, &QToolButton::clicked, this, [this] { Q_EMIT closeRequested(task_); });
    top->addWidget(close_);

    open_ = iconButton(QStringLiteral("Open in ServiceNow"));
    open_->setIcon(ui::icon("arrow.up.forward.square"));
    connect(open_, &QToolButton::clicked, this, [this] { openLink(task_.recordURL()); });
    top->addWidget(open_);
    column->addLayout(top);

    title_ = wrappingText(ui::font(TextStyle::Callout, QFont::Medium));
    column->addWidget(title_);
    description_ = wrappingText(ui::font(TextStyle::Caption));
    column->addWidget(description_);

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(8);
    caller_ = new QWidget;
    auto* callerLayout = new QHBoxLayout(caller_);
    callerLayout->setContentsMargins(0, 0, 0, 0);
    callerLayout->setSpacing(3);
    callerIcon_ = new QLabel;
    callerLayout->addWidget(callerIcon_);
    callerName_ = nameLabel();
    callerLayout->addWidget(callerName_);
    bottom->addWidget(caller_, 0, Qt::AlignVCenter);
    assignee_ = nameLabel();
    bottom->addWidget(assignee_, 0, Qt::AlignVCenter);
    bottom->addStretch(1);
    updated_ = textLabel(ui::font(TextStyle::Caption2));
    bottom->addWidget(updated_, 0, Qt::AlignVCenter);
    column->addLayout(bottom);

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { buildContextMenu(this)->popup(mapToGlobal(at)); });
    applyColours();
}

void TaskRow::applyColours() {
    const QPalette p = palette();
    for (QWidget* label : std::initializer_list<QWidget*>{number_, age_, description_, callerName_, assignee_})
        setTextColour(label, color(NamedColor::Secondary, p));
    setTextColour(updated_, color(NamedColor::Tertiary, p));
    const int side = QFontMetrics(ui::font(TextStyle::Caption2)).height() - 2;
    callerIcon_->setPixmap(ui::icon("person", color(NamedColor::Secondary, p))
                               .pixmap(QSize(side, side), devicePixelRatioF()));
    applyConfirmation();
}

void TaskRow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !applyingColours_) {
        applyingColours_ = true;
        applyColours();
        applyingColours_ = false;
    }
}

void TaskRow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshTimes();
    applyColours();  // the caller glyph at the screen's pixel ratio, known only once shown
}

void TaskRow::setTask(const SNTask& task) {
    task_ = task;
    apply();
}

void TaskRow::setShowAssignee(bool show) {
    showAssignee_ = show;
    apply();
}

void TaskRow::refreshTimes() {
    const Instant now = services_.now();
    showIfText(age_, ageText(task_, now, services_.dates()));
    showIfText(updated_, updatedText(task_, now));
}

void TaskRow::apply() {
    number_->setText(qs(task_.number.display));

    const QString ritm = qs(task_.requestItem.display);
    ritmChip_->set(ritm, toUrl(task_.ritmURL()), QStringLiteral("Open request item in ServiceNow"));
    ritmChip_->setVisible(!ritm.isEmpty());
    const QString request = qs(task_.request.display);
    requestChip_->set(request, toUrl(task_.requestURL()), QStringLiteral("Open request in ServiceNow"));
    requestChip_->setVisible(!request.isEmpty());

    const QString primary = qs(task_.primaryNumber());
    copyNumber_->setToolTip(QStringLiteral("Copy ") + primary);
    copyNumber_->setAccessibleName(copyNumber_->toolTip());
    copyNumber_->setVisible(!primary.isEmpty());

    badge_->set(qs(task_.state.display), stateColor(task_.state.value));
    close_->setVisible(task_.state.value != "5");

    title_->setText(qs(task_.effectiveShortDescription()));
    const QString description = qs(task_.effectiveDescription());
    description_->setText(description);
    description_->setVisible(!description.isEmpty());

    const QString caller = qs(task_.effectiveCaller());
    callerName_->setText(caller);
    caller_->setVisible(!caller.isEmpty());
    const QString assignee = qs(task_.assignedTo.display);
    // A record without its assignee (an access rule hides it) is someone's task, not nobody's.
    assignee_->setText(!task_.assigneeKnown ? QStringLiteral("assignee hidden")
                       : assignee.isEmpty() ? QStringLiteral("Unassigned")
                                            : assignee);
    assignee_->setVisible(showAssignee_ || !task_.assigneeKnown);

    refreshTimes();
    applyConfirmation();
}

void TaskRow::applyConfirmation() {
    const QString shown = confirmation_->shown();
    copyNumber_->setIcon(shown == kNumberKey
                             ? ui::icon("checkmark", color(NamedColor::Green, palette()))
                             : ui::icon("doc.on.doc", color(NamedColor::Secondary, palette())));
    copyAll_->setIcon(icon(shown == kFullKey ? "checkmark" : "doc.plaintext"));
}

void TaskRow::openLink(const std::optional<std::string>& url) {
    if (const auto parsed = toUrl(url))
        services_.openUrl(*parsed);
}

QMenu* TaskRow::buildContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (const CopyMenuEntry& entry : copyMenuEntries(task_)) {
        if (entry.isSeparator()) {
            menu->addSeparator();
            continue;
        }
        const QString text = entry.text;
        menu->addAction(entry.title, menu, [text] { CopyConfirmation::copyQuietly(text); });
    }
    return menu;
}

}  // namespace trayline::ui

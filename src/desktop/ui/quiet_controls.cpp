#include "desktop/ui/quiet_controls.h"

#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/models/app_model.h"
#include "desktop/models/quiet_hours.h"
#include "desktop/ui/sheet_parts.h"
#include "desktop/ui/style.h"

namespace trayline::ui {

QString pausedText(bool paused, const QDateTime& until, const DateFormatter& dates) {
    if (!paused)
        return QString();
    if (!until.isValid())
        return QStringLiteral("Notifications paused");
    const Instant end{std::chrono::seconds(until.toSecsSinceEpoch())};
    return QStringLiteral("Notifications paused until ") + QString::fromStdString(dates.shortTime(end));
}

QString shortcutLine(GlobalShortcut::State state, const QString& trigger) {
    if (state != GlobalShortcut::State::bound)
        return QStringLiteral("Shortcut: bind `trayline --toggle` in your desktop's keyboard settings");
    if (trigger.isEmpty())
        return QStringLiteral("Shortcut: none yet (give \u201cShow Trayline\u201d a key in your desktop's settings)");
    return QStringLiteral("Shortcut: ") + trigger + QStringLiteral(" (change it in your desktop's settings)");
}

NotificationsButton::NotificationsButton(AppModel* model, QWidget* parent)
    : QToolButton(parent), model_(model), menu_(new QMenu(this)) {
    setAutoRaise(true);
    setToolTip(QStringLiteral("Notifications"));
    setAccessibleName(QStringLiteral("Notifications"));
    setFocusPolicy(Qt::StrongFocus);
    setPopupMode(QToolButton::InstantPopup);
    setMenu(menu_);
    QuietHours* quiet = model_->quietHours();
    connect(menu_->addAction(QStringLiteral("Pause for 1 hour")), &QAction::triggered, quiet,
            [quiet] { quiet->pause(PauseChoice::oneHour); });
    connect(menu_->addAction(QStringLiteral("Pause until tomorrow")), &QAction::triggered, quiet,
            [quiet] { quiet->pause(PauseChoice::untilTomorrow); });
    connect(menu_->addAction(QStringLiteral("Pause until I resume")), &QAction::triggered, quiet,
            [quiet] { quiet->pause(PauseChoice::untilResumed); });
    menu_->addSeparator();
    resume_ = menu_->addAction(QStringLiteral("Resume"));
    connect(resume_, &QAction::triggered, quiet, &QuietHours::resume);
    connect(model_, &AppModel::notificationsPausedChanged, this, &NotificationsButton::refresh);
    refresh();
}

void NotificationsButton::showEvent(QShowEvent* event) {
    model_->quietHours()->reload();
    QToolButton::showEvent(event);
}

void NotificationsButton::refresh() {
    const bool paused = model_->notificationsPaused();
    setIcon(ui::icon(paused ? "bell.slash" : "bell"));
    setAccessibleDescription(paused ? QStringLiteral("Paused") : QString());
    resume_->setVisible(paused);
}

PausedLine::PausedLine(AppModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 6, 12, 6);
    column->setSpacing(2);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    text_ = new TintedLabel(NamedColor::Secondary, TextStyle::Caption, this);
    resume_ = new QPushButton(QStringLiteral("Resume"), this);
    resume_->setFlat(true);
    resume_->setFont(ui::font(TextStyle::Caption));
    resume_->setAccessibleName(QStringLiteral("Resume"));
    row->addWidget(text_);
    row->addStretch(1);
    row->addWidget(resume_);
    column->addLayout(row);
    error_ = errorLabel(2, TextStyle::Caption, this);
    column->addWidget(error_);
    connect(resume_, &QPushButton::clicked, model_->quietHours(), &QuietHours::resume);
    connect(model_, &AppModel::notificationsPausedChanged, this, &PausedLine::refresh);
    connect(model_->quietHours(), &QuietHours::errorMessageChanged, this, &PausedLine::refresh);
    refresh();
}

QString PausedLine::text() const { return text_->text(); }

void PausedLine::refresh() {
    const bool paused = model_->notificationsPaused();
    const QString error = model_->quietHours()->errorMessage();
    showText(text_, pausedText(paused, model_->pausedUntil(), DateFormatter::current()));
    resume_->setVisible(paused);
    showText(error_, error);
    setVisible(paused || !error.isEmpty());
}

void PausedLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(color(NamedColor::Separator, palette()));
    painter.drawLine(rect().topLeft(), rect().topRight());
}

}  // namespace trayline::ui

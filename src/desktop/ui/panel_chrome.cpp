#include "desktop/ui/panel_chrome.h"

#include <chrono>

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include "core/platform/time.h"
#include "desktop/models/app_model.h"
#include "desktop/models/updater.h"
#include "desktop/ui/panel_logic.h"
#include "desktop/ui/quiet_controls.h"
#include "desktop/ui/sheet_parts.h"
#include "desktop/ui/style.h"

namespace trayline::ui {

namespace {

QToolButton* iconButton(const char* symbol, const QString& tip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setIcon(icon(symbol));
    button->setAutoRaise(true);
    button->setToolTip(tip);
    button->setAccessibleName(tip);  // an icon-only button is read by its tooltip
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

QHBoxLayout* paddedRow(QWidget* owner) {
    auto* row = new QHBoxLayout(owner);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(8);
    return row;
}

}  // namespace

QPushButton* flatButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setFlat(true);
    button->setFont(ui::font(TextStyle::Caption));
    button->setCursor(Qt::PointingHandCursor);
    button->setAccessibleName(text);
    return button;
}

QWidget* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("color: %1").arg(color(NamedColor::Separator).name()));
    return line;
}

PanelHeader::PanelHeader(AppModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* row = paddedRow(this);
    auto* title = new QLabel(QStringLiteral("ServiceNow"), this);
    title->setFont(ui::font(TextStyle::Headline, QFont::DemiBold));
    row->addWidget(title);
    row->addStretch();
    busy_ = new QProgressBar(this);
    busy_->setRange(0, 0);  // indeterminate
    busy_->setTextVisible(false);
    busy_->setFixedSize(48, 6);
    busy_->setAccessibleName(QStringLiteral("Refreshing"));
    row->addWidget(busy_);
    refresh_ = iconButton("arrow.clockwise", QStringLiteral("Refresh now"), this);
    settings_ = iconButton("gearshape", QStringLiteral("Settings"), this);
    row->addWidget(refresh_);
    row->addWidget(settings_);
    connect(refresh_, &QToolButton::clicked, this, &PanelHeader::refreshRequested);
    connect(settings_, &QToolButton::clicked, this, &PanelHeader::settingsToggled);
    connect(model_, &AppModel::isRefreshingChanged, this, &PanelHeader::refresh);
    connect(model_->auth(), &AuthManager::isSignedInChanged, this, &PanelHeader::refresh);
    refresh();
}

void PanelHeader::refresh() {
    busy_->setVisible(model_->isRefreshing());
    refresh_->setEnabled(!model_->isRefreshing() && model_->auth()->isSignedIn());
}

UpdateBanner::UpdateBanner(Updater* updater, QWidget* parent) : QWidget(parent), updater_(updater) {
    auto* row = paddedRow(this);
    auto* arrow = new QLabel(this);
    arrow->setPixmap(icon("arrow.down.circle.fill", color(NamedColor::Green)).pixmap(18, 18));
    row->addWidget(arrow);
    auto* text = new QVBoxLayout;
    text->setSpacing(1);
    title_ = new QLabel(this);
    title_->setFont(ui::font(TextStyle::Callout, QFont::Medium));
    detail_ = new TintedLabel(NamedColor::Secondary, TextStyle::Caption, this);
    text->addWidget(title_);
    text->addWidget(detail_);
    row->addLayout(text, 1);
    auto* notes = flatButton(QStringLiteral("What's new"), this);
    auto* later = flatButton(QStringLiteral("Later"), this);
    install_ = new QPushButton(QStringLiteral("Update && Relaunch"), this);  // "&&": a literal ampersand
    install_->setAccessibleName(QStringLiteral("Update & Relaunch"));
    row->addWidget(notes);
    row->addWidget(later);
    row->addWidget(install_);
    connect(notes, &QPushButton::clicked, this, &UpdateBanner::notesRequested);
    connect(later, &QPushButton::clicked, updater_, &Updater::dismiss);
    connect(install_, &QPushButton::clicked, updater_, &Updater::install);
    connect(updater_, &Updater::availableChanged, this, &UpdateBanner::refresh);
    connect(updater_, &Updater::statusChanged, this, &UpdateBanner::refresh);
    connect(updater_, &Updater::errorMessageChanged, this, &UpdateBanner::refresh);
    connect(updater_, &Updater::isCheckingChanged, this, &UpdateBanner::refresh);
    refresh();
}

void UpdateBanner::refresh() {
    // A package's copy is updated by the package manager: the banner says so and offers no install.
    title_->setText(updater_->installsUpdates()
                        ? QStringLiteral("Version ") + updater_->availableVersion() + QStringLiteral(" is available")
                        : updater_->packageManagerNotice());
    install_->setVisible(updater_->installsUpdates());
    // At most one line: the updater's status, else its error (red, up to 3 lines), else a teaser.
    QString detail;
    NamedColor colour = NamedColor::Secondary;
    int lines = 1;
    if (!updater_->status().isEmpty()) {
        detail = updater_->status();
    } else if (!updater_->errorMessage().isEmpty()) {
        detail = updater_->errorMessage();
        colour = NamedColor::Red;
        lines = 3;
    } else {
        detail = bannerTeaser(updater_->availableNotes());
    }
    detail_->setColour(colour);
    // Fitted, so a long first note (or a URL in an error) never widens the panel or pushes the
    // buttons out; one line does not ask the banner for a height that depends on its width.
    detail_->setFitted(lines);
    // Always laid out, so the banner keeps its height while the line comes and goes.
    detail_->setText(detail);
    detail_->setMinimumHeight(QFontMetrics(detail_->font()).lineSpacing());
    detail_->show();
    install_->setEnabled(!updater_->isChecking());
}

void UpdateBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor tint = color(NamedColor::Green, palette());
    tint.setAlphaF(0.1);
    painter.fillRect(rect(), tint);
}

PanelFooter::PanelFooter(AppModel* model, const QString& version, QWidget* parent) : QWidget(parent), model_(model) {
    auto* row = paddedRow(this);
    auto* versionButton = flatButton(QStringLiteral("v") + version, this);
    versionButton->setToolTip(QStringLiteral("What's new"));
    versionButton->setPalette([&] {
        QPalette p = versionButton->palette();
        p.setColor(QPalette::ButtonText, color(NamedColor::Secondary));
        return p;
    }());
    updated_ = new TintedLabel(NamedColor::Secondary, TextStyle::Caption, this);
    auto* openList = flatButton(QStringLiteral("Open list"), this);
    auto* quit = flatButton(QStringLiteral("Quit"), this);
    row->addWidget(versionButton);
    row->addWidget(updated_);
    row->addStretch();
    row->addWidget(new NotificationsButton(model_, this));
    row->addWidget(openList);
    row->addWidget(quit);
    connect(versionButton, &QPushButton::clicked, this, &PanelFooter::changelogRequested);
    connect(openList, &QPushButton::clicked, this, &PanelFooter::openListRequested);
    connect(quit, &QPushButton::clicked, this, &PanelFooter::quitRequested);
    connect(model_, &AppModel::lastRefreshChanged, this, &PanelFooter::refresh);
    refresh();
}

void PanelFooter::refresh() {
    const auto stamp = model_->lastRefresh();
    if (!stamp.isValid())
        return showText(updated_, QString());
    const Instant at{std::chrono::milliseconds(stamp.toMSecsSinceEpoch())};
    showText(updated_, QStringLiteral("Updated ") + QString::fromStdString(DateFormatter::current().shortTime(at)));
}

}  // namespace trayline::ui

#include "desktop/ui/settings_view.h"

#include <limits>

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

#include "core/auth/token_request.h"
#include "core/mcp/tool_catalogue.h"
#include "core/settings/config.h"
#include "core/update/update_identity.h"
#include "desktop/models/app_model.h"
#include "desktop/models/background.h"
#include "desktop/models/updater.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/quiet_controls.h"
#include "desktop/ui/settings_form.h"
#include "desktop/ui/settings_mcp_group.h"

namespace trayline {

using namespace ui;

namespace {

QString q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The account state: a filled circle, green while signed in.
class StatusDot : public QWidget {
public:
    StatusDot() { setFixedSize(8, 8); }
    void setOn(bool on) {
        on_ = on;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color(on_ ? NamedColor::Green : NamedColor::Gray, palette()));
        painter.drawEllipse(rect());
    }

private:
    bool on_ = false;
};

}  // namespace

SettingsView::SettingsView(AppModel* model, Updater* updater, LoginItem* loginItem, QWidget* parent,
                           DelayedCall delay, QString executable)
    : Sheet(parent),
      model_(model),
      updater_(updater),
      loginItem_(loginItem),
      executable_(executable.isEmpty() ? q(mcp::executablePath()) : std::move(executable)),
      delay_(delay ? std::move(delay) : singleShotOn(this)) {
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setWidget(buildForm());
    scroll->viewport()->setAutoFillBackground(false);
    scroll->widget()->setAutoFillBackground(false);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    setKeys(save_, nullptr);

    form_->setEnabled(false);
    launchAtLogin_->setChecked(loginItem_->isEnabled());
    model_->settings()->load().then(this, [this](QFuture<SettingsValues> stored) {
        try {
            fill(stored.result());
        } catch (...) {
            showText(saveError_, errorText(std::current_exception()));
        }
        loaded_ = true;
        form_->setEnabled(true);
        Q_EMIT loaded();
    });

    connect(updater_, &Updater::isCheckingChanged, this, &SettingsView::showUpdates);
    connect(updater_, &Updater::availableChanged, this, &SettingsView::showUpdates);
    connect(updater_, &Updater::statusChanged, this, &SettingsView::showUpdates);
    connect(updater_, &Updater::errorMessageChanged, this, &SettingsView::showUpdates);
    connect(model_->auth(), &AuthManager::isSignedInChanged, this, &SettingsView::showAccount);
    showUpdates();
    showAccount();
}

void SettingsView::showShortcut(const GlobalShortcut* shortcut) {
    const auto show = [this, shortcut] {
        shortcut_->setText(shortcut ? ui::shortcutLine(shortcut->state(), shortcut->trigger())
                                    : ui::shortcutLine(GlobalShortcut::State::unavailable, QString()));
    };
    if (shortcut)
        connect(shortcut, &GlobalShortcut::stateChanged, this, show);
    show();
}

QWidget* SettingsView::buildForm() {
    form_ = new QWidget;
    auto* column = new QVBoxLayout(form_);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(14);

    auto* connection = addSection(column, QStringLiteral("Connection"));
    instanceURL_ = addField(connection, QStringLiteral("Instance URL"), QStringLiteral("https://yourcompany.service-now.com"));
    clientID_ = addField(connection, QStringLiteral("Client ID"), QStringLiteral("from Application Registry"));
    clientSecret_ = addField(connection, QStringLiteral("Client secret"));
    clientSecret_->setEchoMode(QLineEdit::Password);
    addHelp(connection, QStringLiteral("Register an inbound OAuth app in ServiceNow (System OAuth → Application Registry) "
                                       "with redirect URL ") + q(kRedirectURI));

    auto* queries = addSection(column, QStringLiteral("Queries"));
    table_ = addField(queries, QStringLiteral("Table"), QStringLiteral("sc_task"));
    groupSysID_ = addField(queries, QStringLiteral("Group sys_id"), QStringLiteral("assignment group sys_id"));
    groupStates_ = addField(queries, QStringLiteral("Group states"), QStringLiteral("1,2,3"));
    auto* pollRow = new QHBoxLayout;
    auto* pollLabel = new QLabel(QStringLiteral("Poll every"));
    pollLabel->setMinimumWidth(kLabelWidth);
    pollMinutes_ = new QSpinBox;
    pollMinutes_->setRange(std::numeric_limits<int>::min(), static_cast<int>(Config::kMaxPollMinutes));
    pollMinutes_->setButtonSymbols(QAbstractSpinBox::NoButtons);
    pollMinutes_->setGroupSeparatorShown(false);
    pollMinutes_->setFixedWidth(50);
    pollMinutes_->setAccessibleName(QStringLiteral("Poll every"));
    pollLabel->setBuddy(pollMinutes_);
    auto* minutes = new TintedLabel(NamedColor::Secondary, TextStyle::Body);
    minutes->setText(QStringLiteral("min"));
    pollRow->addWidget(pollLabel);
    pollRow->addWidget(pollMinutes_);
    pollRow->addWidget(minutes);
    pollRow->addStretch(1);
    queries->addLayout(pollRow);

    auto* notifications = addSection(column, QStringLiteral("Notifications"));
    notifyNewRequest_ = addCheckBox(notifications, QStringLiteral("New request in group queue"));
    notifyAssignedToMe_ = addCheckBox(notifications, QStringLiteral("Request assigned to me"));

    auto* startup = addSection(column, QStringLiteral("Startup"));
    launchAtLogin_ = addCheckBox(startup, QStringLiteral("Launch at login"));
    loginItemError_ = errorLabel(0, TextStyle::Caption2);
    startup->addWidget(loginItemError_);
    shortcut_ = new TintedLabel(NamedColor::Secondary, TextStyle::Caption);
    shortcut_->setTextFormat(Qt::PlainText);
    shortcut_->setWordWrap(true);
    startup->addWidget(shortcut_);
    showShortcut(nullptr);

    auto* updates = addSection(column, QStringLiteral("Updates"));
    autoUpdate_ = addCheckBox(updates, QStringLiteral("Check for updates automatically"));
    updateFeedURL_ = addField(updates, QStringLiteral("Feed URL"), q(Config::kDefaultUpdateFeedURL));
    auto* checkRow = new QHBoxLayout;
    checkRow->setSpacing(8);
    checkNow_ = new QPushButton;
    updateCaption_ = new TintedLabel(NamedColor::Secondary, TextStyle::Caption);
    updateCaption_->setTextFormat(Qt::PlainText);
    checkRow->addWidget(checkNow_);
    checkRow->addWidget(updateCaption_);
    checkRow->addStretch(1);
    updates->addLayout(checkRow);
    updateError_ = errorLabel(0, TextStyle::Caption2);
    updates->addWidget(updateError_);
    addHelp(updates, QStringLiteral("Downloads are only installed if their checksum matches the feed and the bundle is "
                                    "signed by team ") + q(kTeamIdentifier) + QStringLiteral("."));
    connect(checkNow_, &QPushButton::clicked, this, &SettingsView::checkNow);

    mcp_ = new SettingsMcpGroup(executable_, delay_);
    column->addWidget(mcp_);

    auto* account = addSection(column, QStringLiteral("Account"));
    auto* accountRow = new QHBoxLayout;
    auto* dot = new StatusDot;
    accountDot_ = dot;
    accountText_ = new QLabel;
    accountText_->setFont(ui::font(TextStyle::Callout));
    signOut_ = new QPushButton;
    setLabel(signOut_, QStringLiteral("Sign out"));
    accountRow->addWidget(dot);
    accountRow->addWidget(accountText_);
    accountRow->addStretch(1);
    accountRow->addWidget(signOut_);
    account->addLayout(accountRow);
    connect(signOut_, &QPushButton::clicked, model_->auth(), &AuthManager::signOut);

    saveError_ = errorLabel(0, TextStyle::Caption);
    column->addWidget(saveError_);
    auto* saveRow = new QHBoxLayout;
    saveRow->addStretch(1);
    save_ = new QPushButton;
    setLabel(save_, QStringLiteral("Save"));
    save_->setDefault(true);
    saveRow->addWidget(save_);
    column->addLayout(saveRow);
    column->addStretch(1);
    connect(save_, &QPushButton::clicked, this, &SettingsView::save);
    return form_;
}

void SettingsView::fill(const SettingsValues& v) {
    instanceURL_->setText(v.instanceURL);
    clientID_->setText(v.clientID);
    clientSecret_->setText(v.clientSecret);
    table_->setText(v.table);
    groupSysID_->setText(v.groupSysID);
    groupStates_->setText(v.groupStates);
    pollMinutes_->setValue(static_cast<int>(std::clamp<std::int64_t>(
        v.pollMinutes, std::numeric_limits<int>::min(), std::numeric_limits<int>::max())));
    notifyNewRequest_->setChecked(v.notifyNewRequest);
    notifyAssignedToMe_->setChecked(v.notifyAssignedToMe);
    autoUpdate_->setChecked(v.autoUpdate);
    updateFeedURL_->setText(v.updateFeedURL);
    mcp_->allowWrites()->setChecked(v.mcpAllowWrites);
    mcp_->setStoredAllowWrites(v.mcpAllowWrites);
}

SettingsValues SettingsView::values() const {
    SettingsValues v;
    v.instanceURL = instanceURL_->text();
    v.clientID = clientID_->text();
    v.clientSecret = clientSecret_->text();
    v.table = table_->text();
    v.groupSysID = groupSysID_->text();
    v.groupStates = groupStates_->text();
    v.pollMinutes = pollMinutes_->value();
    v.notifyNewRequest = notifyNewRequest_->isChecked();
    v.notifyAssignedToMe = notifyAssignedToMe_->isChecked();
    v.autoUpdate = autoUpdate_->isChecked();
    v.updateFeedURL = updateFeedURL_->text();
    v.mcpAllowWrites = mcp_->allowWrites()->isChecked();
    return v;
}

void SettingsView::save() {
    if (!loaded_ || saving_)
        return;
    saving_ = true;
    save_->setEnabled(false);
    showText(saveError_, QString());
    const SettingsValues v = values();
    // The login item, polling and updates follow in the model, also when this sheet goes first.
    model_->settings()->save(v, {loginItem_, launchAtLogin_->isChecked(), updater_}).then(this, [this, v](QFuture<QString> saved) {
        saving_ = false;
        save_->setEnabled(true);
        QString refusal;
        try {
            refusal = saved.result();
        } catch (...) {
            // Stored up to the failing write; what failed is shown and the sheet stays.
            showText(saveError_, errorText(std::current_exception()));
            Q_EMIT saveFinished();
            return;
        }
        finishSave(v, refusal);
    });
}

void SettingsView::finishSave(const SettingsValues& saved, const QString& loginItemRefusal) {
    mcp_->setStoredAllowWrites(saved.mcpAllowWrites);
    if (!loginItemRefusal.isEmpty()) {
        launchAtLogin_->setChecked(loginItem_->isEnabled());
        showText(loginItemError_, loginItemRefusal);
        Q_EMIT saveFinished();
        return;
    }
    showText(loginItemError_, QString());
    Q_EMIT saveFinished();
    Q_EMIT done();
}

void SettingsView::checkNow() {
    showText(updateError_, QString());
    model_->settings()->storeFeedURL(updateFeedURL_->text()).then(this, [this](QFuture<void> stored) {
        try {
            stored.waitForFinished();
        } catch (...) {
            showText(updateError_, errorText(std::current_exception()));
            return;
        }
        updater_->check(true);
    });
}

void SettingsView::showUpdates() {
    const bool checking = updater_->isChecking();
    setLabel(checkNow_, checking ? QStringLiteral("Checking…") : QStringLiteral("Check now"));
    checkNow_->setEnabled(!checking);
    if (updater_->hasAvailable()) {
        updateCaption_->setColour(NamedColor::Green);
        showText(updateCaption_, updater_->installsUpdates()
                                     ? QStringLiteral("v") + updater_->availableVersion() + QStringLiteral(" available")
                                     : updater_->packageManagerNotice());
    } else {
        updateCaption_->setColour(NamedColor::Secondary);
        showText(updateCaption_, updater_->status());
    }
    showText(updateError_, updater_->errorMessage());
}

void SettingsView::showAccount() {
    const bool signedIn = model_->auth()->isSignedIn();
    static_cast<StatusDot*>(accountDot_)->setOn(signedIn);
    const QString text = signedIn ? QStringLiteral("Signed in") : QStringLiteral("Not signed in");
    accountText_->setText(text);
    accountText_->setAccessibleName(text);
    signOut_->setVisible(signedIn);
}

}  // namespace trayline

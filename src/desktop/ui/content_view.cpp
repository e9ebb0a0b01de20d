#include "desktop/ui/content_view.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "core/settings/app_info.h"
#include "desktop/models/app_model.h"
#include "desktop/models/updater.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/assign_view.h"
#include "desktop/ui/changelog_view.h"
#include "desktop/ui/close_view.h"
#include "desktop/ui/panel_chrome.h"
#include "desktop/ui/quiet_controls.h"
#include "desktop/ui/settings_view.h"
#include "desktop/ui/sheet_parts.h"
#include "desktop/ui/sign_in_prompt.h"
#include "desktop/ui/task_list_view.h"

namespace trayline::ui {

ContentView::ContentView(AppModel* model, Updater* updater, Services services, QWidget* parent)
    : QWidget(parent), model_(model), updater_(updater), services_(std::move(services)) {
    if (!services_.loginItem) {
        ownLoginItem_ = std::make_unique<XdgAutostartItem>();
        services_.loginItem = ownLoginItem_.get();
    }
    if (!services_.quit)
        services_.quit = [] { QCoreApplication::quit(); };
    if (!services_.rows.openUrl)
        services_.rows.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* header = new PanelHeader(model_, this);
    column->addWidget(header);
    column->addWidget(divider(this));
    banner_ = new UpdateBanner(updater_, this);
    bannerLine_ = divider(this);
    column->addWidget(banner_);
    column->addWidget(bannerLine_);

    middle_ = new QStackedWidget(this);
    auto* loadingText = new TintedLabel(NamedColor::Secondary, TextStyle::Body, middle_);
    loadingText->setText(QStringLiteral("Loading\u2026"));
    loadingText->setAlignment(Qt::AlignCenter);
    loading_ = loadingText;
    signInPrompt_ = new SignInPrompt(middle_);
    lists_ = new TaskListView(model_, services_.rows, middle_);
    for (auto* page : {loading_, static_cast<QWidget*>(signInPrompt_), static_cast<QWidget*>(lists_)})
        middle_->addWidget(page);
    column->addWidget(middle_, 1);
    column->addWidget(new PausedLine(model_, this));
    column->addWidget(divider(this));
    auto* footer = new PanelFooter(model_, QString::fromStdString(AppInfo::version()), this);
    column->addWidget(footer);

    connect(header, &PanelHeader::refreshRequested, model_, [this] { model_->refresh(); });
    connect(header, &PanelHeader::settingsToggled, this, [this] {
        showingSettings_ = !showingSettings_;
        updateMiddle();
    });
    connect(banner_, &UpdateBanner::notesRequested, this, [this] {
        showingUpdateNotes_ = true;
        updateMiddle();
    });
    connect(footer, &PanelFooter::changelogRequested, this, [this] {
        showingChangelog_ = true;
        updateMiddle();
    });
    connect(footer, &PanelFooter::openListRequested, this, &ContentView::openListInBrowser);
    connect(lists_, &TaskListView::openListRequested, this, &ContentView::openListInBrowser);
    connect(footer, &PanelFooter::quitRequested, this, [this] { services_.quit(); });
    connect(signInPrompt_, &SignInPrompt::signInRequested, this, &ContentView::signIn);
    connect(lists_, &TaskListView::assignRequested, this, [this](const SNTask& task) {
        assigningTask_ = task;
        updateMiddle();
    });
    connect(lists_, &TaskListView::closeRequested, this, [this](const SNTask& task) {
        closingTask_ = task;
        updateMiddle();
    });
    for (auto signal : {&AppModel::isReadyChanged, &AppModel::isConfiguredChanged})
        connect(model_, signal, this, &ContentView::updateMiddle);
    connect(model_->auth(), &AuthManager::isSignedInChanged, this, &ContentView::updateMiddle);
    connect(updater_, &Updater::availableChanged, this, &ContentView::updateMiddle);
    connect(updater_, &Updater::showsBannerChanged, this, &ContentView::updateBanner);
    connect(lists_, &TaskListView::contentChanged, this, &ContentView::orderFocusLater);
    updateBanner();
    updateMiddle();
}

ContentView::ContentView(AppModel* model, Updater* updater, QWidget* parent)
    : ContentView(model, updater, Services{}, parent) {}

ContentView::~ContentView() = default;

QWidget* ContentView::middleWidget() const { return middle_->currentWidget(); }

void ContentView::updateBanner() {
    banner_->setVisible(updater_->showsBanner());
    bannerLine_->setVisible(updater_->showsBanner());
}

void ContentView::dropSheet(QPointer<QWidget>& sheet) {
    if (sheet) {
        middle_->removeWidget(sheet);
        sheet->deleteLater();
    }
    sheet = nullptr;
}

QWidget* ContentView::makeSheet(MiddleArea area) {
    switch (area) {
        case MiddleArea::settings: {
            auto* sheet = new SettingsView(model_, updater_, services_.loginItem, middle_);
            sheet->showShortcut(services_.shortcut);
            connect(sheet, &Sheet::done, this, [this] {
                showingSettings_ = false;
                updateMiddle();
            });
            return sheet;
        }
        case MiddleArea::updateNotes:
        case MiddleArea::changelog: {
            const bool update = area == MiddleArea::updateNotes;
            const QString notes = updater_->availableNotes();
            auto* sheet = update ? new ChangelogView(QStringLiteral("What's new in v") + updater_->availableVersion(),
                                                     notes.isNull() ? QStringLiteral("No release notes.") : notes, middle_)
                                 : new ChangelogView(QStringLiteral("Trayline v") + QString::fromStdString(AppInfo::version()),
                                                     QString::fromStdString(AppInfo::changelog()), middle_);
            connect(sheet, &ChangelogView::done, this, [this, update] {
                (update ? showingUpdateNotes_ : showingChangelog_) = false;
                updateMiddle();
            });
            sheet->setProperty("notesKind", static_cast<int>(area));
            return sheet;
        }
        case MiddleArea::assign: {
            auto* sheet = new AssignView(*assigningTask_, model_, middle_);
            connect(sheet, &Sheet::done, this, [this] {
                assigningTask_.reset();
                updateMiddle();
            });
            return sheet;
        }
        case MiddleArea::close: {
            auto* sheet = new CloseView(*closingTask_, model_, middle_);
            connect(sheet, &Sheet::done, this, [this] {
                closingTask_.reset();
                updateMiddle();
            });
            return sheet;
        }
        default: return nullptr;
    }
}

void ContentView::updateMiddle() {
    const MiddleArea area = chooseMiddleArea({showingSettings_, showingUpdateNotes_, showingChangelog_,
                                              assigningTask_.has_value(), closingTask_.has_value(), model_->isReady(),
                                              model_->isConfigured(), updater_->hasAvailable(),
                                              model_->auth()->isSignedIn()});
    // Sheets whose reason has gone are dropped; an assign or close sheet waits, with what was typed,
    // while settings or notes are shown above it.
    if (area != MiddleArea::settings)
        dropSheet(settingsSheet_);
    if (notesSheet_ && notesSheet_->property("notesKind").toInt() != static_cast<int>(area))
        dropSheet(notesSheet_);
    if (!assigningTask_)
        dropSheet(assignSheet_);
    if (!closingTask_)
        dropSheet(closeSheet_);

    QPointer<QWidget>* slot = nullptr;
    switch (area) {
        case MiddleArea::settings: slot = &settingsSheet_; break;
        case MiddleArea::updateNotes:
        case MiddleArea::changelog: slot = &notesSheet_; break;
        case MiddleArea::assign: slot = &assignSheet_; break;
        case MiddleArea::close: slot = &closeSheet_; break;
        case MiddleArea::loading: middle_->setCurrentWidget(loading_); break;
        case MiddleArea::signIn:
            signInPrompt_->setState(signingIn_, signInError_);
            middle_->setCurrentWidget(signInPrompt_);
            break;
        case MiddleArea::lists: middle_->setCurrentWidget(lists_); break;
    }
    if (slot) {
        if (!*slot) {
            *slot = makeSheet(area);
            middle_->addWidget(*slot);
        }
        middle_->setCurrentWidget(*slot);
    }
    shown_ = area;
    orderFocusLater();
}

void ContentView::orderFocusLater() {
    if (focusOrderPending_)
        return;
    focusOrderPending_ = true;
    QTimer::singleShot(0, this, &ContentView::orderFocus);  // once the new widgets are laid out
}

// Tab goes through the panel top to bottom, left to right, whatever order the widgets were made
// in (rows and sheets come and go after the footer was built).
void ContentView::orderFocus() {
    focusOrderPending_ = false;
    // By the centre of each control: the items of one line are centred on it, whatever their heights.
    std::vector<std::pair<QPoint, QWidget*>> stops;
    for (auto* w : findChildren<QWidget*>()) {
        if ((w->focusPolicy() & Qt::TabFocus) && !w->focusProxy() && w->isVisibleTo(this))
            stops.emplace_back(w->mapTo(this, w->rect().center()), w);
    }
    std::stable_sort(stops.begin(), stops.end(), [](const auto& a, const auto& b) { return a.first.y() < b.first.y(); });
    for (std::size_t line = 0; line < stops.size();) {  // then left to right within a line
        std::size_t end = line + 1;
        while (end < stops.size() && stops[end].first.y() - stops[line].first.y() <= 6)
            ++end;
        std::stable_sort(stops.begin() + static_cast<std::ptrdiff_t>(line), stops.begin() + static_cast<std::ptrdiff_t>(end),
                         [](const auto& a, const auto& b) { return a.first.x() < b.first.x(); });
        line = end;
    }
    for (std::size_t i = 1; i < stops.size(); ++i)
        QWidget::setTabOrder(stops[i - 1].second, stops[i].second);
}

void ContentView::signIn() {
    signingIn_ = true;
    signInError_.clear();
    updateMiddle();
    model_->auth()->signIn().then(this, [this](QFuture<void> signedIn) {
        try {
            signedIn.waitForFinished();
        } catch (...) {
            signInError_ = errorText(std::current_exception());
            signingIn_ = false;
            return updateMiddle();
        }
        model_->refresh().then(this, [this] {
            signingIn_ = false;
            updateMiddle();
        });
    });
}

void ContentView::openListInBrowser() {
    if (const auto address = listAddress(lists_->tab()))
        services_.rows.openUrl(QUrl(QString::fromStdString(*address), QUrl::StrictMode));
}

void ContentView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* focused = qobject_cast<QAbstractButton*>(focusWidget()); focused && focused->isEnabled()) {
            focused->click();
            return;
        }
        QPushButton* fallback = shown_ == MiddleArea::signIn ? signInPrompt_->button()
                                : banner_->isVisible()         ? banner_->installButton()
                                                               : nullptr;
        if (fallback && fallback->isEnabled()) {
            fallback->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

}  // namespace trayline::ui

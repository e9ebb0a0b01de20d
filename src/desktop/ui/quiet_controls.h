#pragma once

// The panel's controls for quiet hours and the keyboard: the footer's bell with its pause menu,
// the line above the footer while notifications are paused, and the texts of both and of the
// settings sheet's shortcut line.

#include <QDateTime>
#include <QString>
#include <QToolButton>
#include <QWidget>

#include "core/platform/time.h"
#include "desktop/platform/global_shortcut.h"

class QMenu;
class QPushButton;

namespace trayline {
class AppModel;
}

namespace trayline::ui {

class TintedLabel;

// "Notifications paused until 08:00" (a pause with an end), "Notifications paused", or empty.
QString pausedText(bool paused, const QDateTime& until, const DateFormatter& dates);
// The settings sheet's line about the panel's keyboard shortcut.
QString shortcutLine(GlobalShortcut::State state, const QString& trigger);

// The footer's bell: a menu of pauses, and "Resume" while paused. Showing it reads the stored
// pause again, so the panel never shows a pause another process has ended.
class NotificationsButton : public QToolButton {
    Q_OBJECT
public:
    explicit NotificationsButton(AppModel* model, QWidget* parent = nullptr);
    QMenu* pauseMenu() const { return menu_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();

    AppModel* model_;
    QMenu* menu_;
    QAction* resume_;
};

// Shown while paused (or when a pause could not be stored): the pause's text and "Resume".
class PausedLine : public QWidget {
    Q_OBJECT
public:
    explicit PausedLine(AppModel* model, QWidget* parent = nullptr);
    QString text() const;
    QPushButton* resumeButton() const { return resume_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    AppModel* model_;
    TintedLabel* text_;
    TintedLabel* error_;
    QPushButton* resume_;
};

}  // namespace trayline::ui

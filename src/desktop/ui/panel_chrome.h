#pragma once

// The parts of the panel that stay while its middle area changes: the header (title, progress,
// refresh and settings), the update banner and the footer (version, last update, list link, quit).
// They show the models' state and emit what the user asked for; the panel acts on it.

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace trayline {
class AppModel;
class Updater;
}

namespace trayline::ui {

class TintedLabel;

// A borderless button in the caption font, as the footer's links are.
QPushButton* flatButton(const QString& text, QWidget* parent);

class PanelHeader : public QWidget {
    Q_OBJECT

public:
    explicit PanelHeader(AppModel* model, QWidget* parent = nullptr);
    QToolButton* refreshButton() const { return refresh_; }
    QToolButton* settingsButton() const { return settings_; }

Q_SIGNALS:
    void refreshRequested();
    void settingsToggled();

private:
    void refresh();

    AppModel* model_;
    QProgressBar* busy_;
    QToolButton* refresh_;
    QToolButton* settings_;
};

class UpdateBanner : public QWidget {
    Q_OBJECT

public:
    explicit UpdateBanner(Updater* updater, QWidget* parent = nullptr);
    QPushButton* installButton() const { return install_; }

Q_SIGNALS:
    void notesRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    Updater* updater_;
    QLabel* title_;
    TintedLabel* detail_;
    QPushButton* install_;
};

class PanelFooter : public QWidget {
    Q_OBJECT

public:
    PanelFooter(AppModel* model, const QString& version, QWidget* parent = nullptr);

Q_SIGNALS:
    void changelogRequested();
    void openListRequested();
    void quitRequested();

private:
    void refresh();

    AppModel* model_;
    QLabel* updated_;
};

// A full-width line between the panel's parts.
QWidget* divider(QWidget* parent);

}  // namespace trayline::ui

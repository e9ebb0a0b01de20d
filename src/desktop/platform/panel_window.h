#pragma once

// The panel. Beside a tray item it is a frameless tool window rather than a popup, so it stays in
// the accessibility tree where a screen reader finds it; it goes away when it loses focus or on
// Escape, as a popup would, and has a fixed size, so tiling Wayland compositors float it. Where
// there is no tray it is an ordinary window the user moves, minimises and closes.

#include <QWidget>

namespace trayline {

class PanelWindow : public QWidget {
    Q_OBJECT
public:
    enum class Mode { Popup, Window };

    PanelWindow();
    // Puts `content` (reparented to the panel) into the panel, replacing what was there.
    void setContent(QWidget* content);
    // Hides the panel when the mode changes.
    void setMode(Mode mode);
    Mode mode() const { return mode_; }

Q_SIGNALS:
    // The popup closed itself: focus went elsewhere or Escape was pressed.
    void dismissed();
    // The user closed the window.
    void closedByUser();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void dismiss();
    // The panel itself, or a window (a dialog) opened from it.
    bool ownsWindow(const QWidget* window) const;
    QWidget* content_ = nullptr;
    Mode mode_ = Mode::Popup;
};

}  // namespace trayline

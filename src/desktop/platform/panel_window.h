#pragma once

// The panel: a frameless tool window rather than a popup, so it stays in the accessibility tree
// where a screen reader finds it. It goes away when it loses focus or on Escape, as a popup would.

#include <QWidget>

namespace trayline {

class PanelWindow : public QWidget {
    Q_OBJECT
public:
    PanelWindow();
    // Puts `content` (reparented to the panel) into the panel, replacing what was there.
    void setContent(QWidget* content);

Q_SIGNALS:
    // The panel closed itself: focus went elsewhere or Escape was pressed.
    void dismissed();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void dismiss();
    // The panel itself, or a window (a dialog) opened from it.
    bool ownsWindow(const QWidget* window) const;
    QWidget* content_ = nullptr;
};

}  // namespace trayline

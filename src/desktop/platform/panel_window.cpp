#include "desktop/platform/panel_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace trayline {

namespace {
constexpr Qt::WindowFlags kPopupFlags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
}  // namespace

PanelWindow::PanelWindow() : QWidget(nullptr, kPopupFlags) {
    setWindowTitle(QStringLiteral("Trayline"));
    setAccessibleName(QStringLiteral("Trayline"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

void PanelWindow::setContent(QWidget* content) {
    delete content_;
    content_ = content;
    if (content_)
        layout()->addWidget(content_);
}

void PanelWindow::setMode(Mode mode) {
    if (mode == mode_)
        return;
    mode_ = mode;
    hide();
    setWindowFlags(mode == Mode::Popup ? kPopupFlags : Qt::WindowFlags(Qt::Window));
    // The popup's size is fixed where it is placed; a window is the user's to resize.
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    if (mode == Mode::Popup)
        setWindowTitle(QStringLiteral("Trayline"));
}

bool PanelWindow::event(QEvent* event) {
    if (mode_ == Mode::Popup && event->type() == QEvent::WindowDeactivate && isVisible()) {
        // Decided once activation has settled: a dialog opened from the panel takes the focus
        // without the panel losing it to another application.
        QTimer::singleShot(0, this, [this] {
            if (mode_ == Mode::Popup && isVisible() && !ownsWindow(QApplication::activeWindow()))
                dismiss();
        });
    }
    return QWidget::event(event);
}

bool PanelWindow::ownsWindow(const QWidget* window) const {
    for (const QWidget* w = window; w; w = w->parentWidget())
        if (w == this)
            return true;
    return false;
}

void PanelWindow::keyPressEvent(QKeyEvent* event) {
    // Reaches the panel only when no control inside took the key (a sheet may close first).
    if (mode_ == Mode::Popup && event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        dismiss();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PanelWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (mode_ == Mode::Window)
        Q_EMIT closedByUser();  // hidden, not destroyed: the app keeps running
    else
        Q_EMIT dismissed();
}

void PanelWindow::dismiss() {
    hide();
    Q_EMIT dismissed();
}

}  // namespace trayline

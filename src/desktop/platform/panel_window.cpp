#include "desktop/platform/panel_window.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace trayline {

PanelWindow::PanelWindow() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
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

bool PanelWindow::event(QEvent* event) {
    if (event->type() == QEvent::WindowDeactivate && isVisible()) {
        // Decided once activation has settled: a dialog opened from the panel takes the focus
        // without the panel losing it to another application.
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && !ownsWindow(QApplication::activeWindow()))
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
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        dismiss();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PanelWindow::dismiss() {
    hide();
    Q_EMIT dismissed();
}

}  // namespace trayline

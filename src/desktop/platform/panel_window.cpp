#include "desktop/platform/panel_window.h"

#include <QEvent>
#include <QKeyEvent>
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
    if (event->type() == QEvent::WindowDeactivate && isVisible())
        dismiss();
    return QWidget::event(event);
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

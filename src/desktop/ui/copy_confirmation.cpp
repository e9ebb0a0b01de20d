#include "desktop/ui/copy_confirmation.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>

namespace trayline::ui {

CopyConfirmation::CopyConfirmation(QObject* parent, Scheduler scheduler, std::chrono::milliseconds shownFor)
    : QObject(parent), scheduler_(std::move(scheduler)), shownFor_(shownFor) {
    if (!scheduler_)
        scheduler_ = [this](std::chrono::milliseconds delay, std::function<void()> run) {
            QTimer::singleShot(delay, this, std::move(run));
        };
}

void CopyConfirmation::copyQuietly(const QString& text) {
    if (text.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(text);
}

void CopyConfirmation::copy(const QString& text, const QString& key) {
    if (text.isEmpty())
        return;
    copyQuietly(text);
    setShown(key);
    // The row may be gone (the list changed) before the time is up.
    QPointer<CopyConfirmation> self(this);
    scheduler_(shownFor_, [self, key] {
        if (self && self->shown_ == key)
            self->setShown(QString());
    });
}

void CopyConfirmation::setShown(const QString& key) {
    if (shown_ == key)
        return;
    shown_ = key;
    Q_EMIT shownChanged(shown_);
}

}  // namespace trayline::ui

#pragma once

// Which copy button shows its checkmark. A confirmed copy shows its key for a while (1.2 seconds
// unless told otherwise); the timer of a copy clears the key only if it is still that copy's key,
// so a later copy with the other key keeps its own full time, and repeating the same copy does not
// extend it.

#include <chrono>
#include <functional>

#include <QObject>
#include <QString>

namespace trayline::ui {

class CopyConfirmation : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kShownFor{1200};

    // Runs the callback once after the delay on the main thread. The default uses a single-shot
    // timer; tests pass a manual clock.
    using Scheduler = std::function<void(std::chrono::milliseconds, std::function<void()>)>;

    // `shownFor`: how long a copy stays confirmed.
    explicit CopyConfirmation(QObject* parent = nullptr, Scheduler scheduler = {},
                              std::chrono::milliseconds shownFor = kShownFor);

    // Puts the text on the clipboard and shows `key`; an empty text does nothing at all.
    void copy(const QString& text, const QString& key);
    // Puts the text on the clipboard without a confirmation; an empty text does nothing.
    static void copyQuietly(const QString& text);

    // The key being confirmed, or empty.
    const QString& shown() const { return shown_; }

Q_SIGNALS:
    void shownChanged(const QString& key);

private:
    void setShown(const QString& key);

    Scheduler scheduler_;
    std::chrono::milliseconds shownFor_;
    QString shown_;
};

}  // namespace trayline::ui

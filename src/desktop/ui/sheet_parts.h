#pragma once

// What the assign, close and settings sheets share: the sheet base with its done() signal and its
// keys (Return on the confirm button, Escape as Cancel), the back-button header, text in a named
// colour that follows palette changes, and the seam for delayed calls.

#include <chrono>
#include <functional>

#include <QLabel>
#include <QWidget>

#include "desktop/ui/style.h"

class QAbstractButton;
class QHBoxLayout;
class QPushButton;
class QVBoxLayout;

namespace trayline::ui {

// Runs the callback once after the delay on the main thread. Sheets take one so that tests can
// move time by hand.
using DelayedCall = std::function<void(std::chrono::milliseconds, std::function<void()>)>;
// A single-shot timer (monotonic) bound to `context`: nothing runs once the context is gone.
DelayedCall singleShotOn(QObject* context);

class Sheet : public QWidget {
    Q_OBJECT

public:
    explicit Sheet(QWidget* parent = nullptr);

Q_SIGNALS:
    // The sheet has finished; the panel shows its previous content again.
    void done();

protected:
    // A task sheet's column (padded 12, 10 between items) opened by the header row, whose back
    // button ends the sheet.
    QVBoxLayout* beginTaskSheet(const QString& title);
    // The bottom row: flexible space, "Cancel" (ends the sheet) and the confirm button, which is the
    // default action; Return and Escape are bound to them.
    void addButtonRow(QVBoxLayout* column, QPushButton** cancel, QPushButton** confirm);
    // Return (not taken by the focused control) presses the focused push button, else `confirm`
    // when it is enabled; Escape presses `cancel`.
    void setKeys(QAbstractButton* confirm, QAbstractButton* cancel);
    void keyPressEvent(QKeyEvent* event) override;

private:
    QAbstractButton* confirm_ = nullptr;
    QAbstractButton* cancel_ = nullptr;
};

// Text in a named colour, kept readable when the palette switches between light and dark.
class TintedLabel : public QLabel {
    Q_OBJECT

public:
    TintedLabel(NamedColor colour, TextStyle style, QWidget* parent = nullptr,
                QFont::Weight weight = QFont::Normal);
    void setColour(NamedColor colour);
    // Limits the height to `lines` lines of the font (0: no limit); the text wraps.
    void setMaxLines(int lines);
    // Fits the text into at most `lines` lines of the width the label is given, breaking a word
    // too long for a line anywhere and shortening what is left with "…", so no text widens the
    // panel (0: as a plain label). Screen readers still get the whole text.
    void setFitted(int lines);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    // The lines shown now (fitted labels).
    QStringList shownLines() const;

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void applyColour();

    NamedColor colour_;
    bool applying_ = false;
    int fitted_ = 0;
};

// A red error line that wraps to at most `maxLines` lines; hidden while its text is empty.
TintedLabel* errorLabel(int maxLines, TextStyle style = TextStyle::Caption, QWidget* parent = nullptr);
// Shows `text` in the label, or hides it for a null or empty text.
void showText(QLabel* label, const QString& text);

// The sheet's first row: a borderless back button (chevron) and the title in the headline font.
QHBoxLayout* sheetHeader(const QString& title, QAbstractButton** back);

// Sets the button's label and its accessible name alike, so a screen reader reads what is shown.
void setLabel(QAbstractButton* button, const QString& label);

}  // namespace trayline::ui

#pragma once

// The building blocks of the settings form: titled sections, labelled fields, help text, and the
// framed monospaced box that holds a snippet.

#include <QFrame>
#include <QString>

#include "desktop/ui/sheet_parts.h"

class QBoxLayout;
class QCheckBox;
class QLineEdit;
class QVBoxLayout;

namespace trayline::ui {

// A column (8 points between rows) whose first row is the title in small semibold capitals.
QVBoxLayout* addSection(QBoxLayout* form, const QString& title);

// A row of the label and a single-line field; the field is named after the label for screen
// readers, and its prompt is the grey placeholder.
QLineEdit* addField(QVBoxLayout* section, const QString& label, const QString& prompt = {});
QCheckBox* addCheckBox(QVBoxLayout* section, const QString& label);
// Wrapping plain text (no markup) in a caption size and the secondary colour.
TintedLabel* addHelp(QVBoxLayout* section, const QString& text, TextStyle style = TextStyle::Caption2);

// The width labels of a section's fields line up at.
inline constexpr int kLabelWidth = 110;

// A rounded box (radius 5) on the text background with a hairline border in the separator colour.
class SnippetBox : public QFrame {
    Q_OBJECT

public:
    explicit SnippetBox(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace trayline::ui

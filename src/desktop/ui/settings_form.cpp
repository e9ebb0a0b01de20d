#include "desktop/ui/settings_form.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QVBoxLayout>

namespace trayline::ui {

QVBoxLayout* addSection(QBoxLayout* form, const QString& title) {
    auto* section = new QVBoxLayout;
    section->setSpacing(8);
    auto* heading = new TintedLabel(NamedColor::Secondary, TextStyle::Caption, nullptr, QFont::DemiBold);
    heading->setText(title.toUpper());
    heading->setAccessibleName(title);
    section->addWidget(heading);
    form->addLayout(section);
    return section;
}

QLineEdit* addField(QVBoxLayout* section, const QString& label, const QString& prompt) {
    auto* row = new QHBoxLayout;
    auto* caption = new QLabel(label);
    caption->setMinimumWidth(kLabelWidth);
    auto* field = new QLineEdit;
    field->setPlaceholderText(prompt);
    field->setAccessibleName(label);
    field->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    caption->setBuddy(field);
    row->addWidget(caption);
    row->addWidget(field, 1);
    section->addLayout(row);
    return field;
}

QCheckBox* addCheckBox(QVBoxLayout* section, const QString& label) {
    auto* box = new QCheckBox(label);
    box->setAccessibleName(label);
    section->addWidget(box);
    return box;
}

TintedLabel* addHelp(QVBoxLayout* section, const QString& text, TextStyle style) {
    auto* help = new TintedLabel(NamedColor::Secondary, style);
    help->setTextFormat(Qt::PlainText);
    help->setWordWrap(true);
    help->setText(text);
    help->setAccessibleName(text);
    help->setTextInteractionFlags(Qt::TextSelectableByMouse);
    section->addWidget(help);
    return help;
}

SnippetBox::SnippetBox(QWidget* parent) : QFrame(parent) {}

void SnippetBox::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color(NamedColor::Separator, palette()), 1));
    painter.setBrush(color(NamedColor::TextBackground, palette()));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
    QFrame::paintEvent(event);
}

}  // namespace trayline::ui

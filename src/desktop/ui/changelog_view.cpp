#include "desktop/ui/changelog_view.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "desktop/ui/style.h"
#include "desktop/ui/wrapping_text.h"

namespace trayline::ui {

namespace {

bool isBlank(QStringView line) {
    return std::all_of(line.begin(), line.end(),
                       [](QChar c) { return c == u' ' || c == u'\t'; });
}

WrappingText* wrappingLabel(const QString& text, const QFont& font, int extraAbove) {
    auto* label = new WrappingText(text);
    label->setFont(font);
    label->setContentsMargins(0, extraAbove, 0, 0);
    return label;
}

QWidget* rowFor(const ChangelogLine& line) {
    using Kind = ChangelogLine::Kind;
    switch (line.kind) {
        case Kind::Heading1:
            return wrappingLabel(line.text, ui::font(TextStyle::Title3, QFont::Bold), 4);
        case Kind::Heading2: return wrappingLabel(line.text, ui::font(TextStyle::Headline), 6);
        case Kind::Heading3:
            return wrappingLabel(line.text, ui::font(TextStyle::Subheadline, QFont::DemiBold), 4);
        case Kind::Text: return wrappingLabel(line.text, ui::font(TextStyle::Callout), 0);
        case Kind::Bullet: break;
    }
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto* bullet = new QLabel(QStringLiteral("•"));
    bullet->setFont(ui::font(TextStyle::Callout));
    layout->addWidget(bullet, 0, Qt::AlignTop);
    layout->addWidget(wrappingLabel(line.text, ui::font(TextStyle::Callout), 0), 1, Qt::AlignTop);
    return row;
}

}  // namespace

std::vector<ChangelogLine> changelogLines(const QString& text) {
    using Kind = ChangelogLine::Kind;
    std::vector<ChangelogLine> result;
    for (QStringView line : QStringView(text).split(u'\n')) {
        // Notes written with CRLF line ends would otherwise show a stray carriage return.
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.startsWith(u"# "))
            result.push_back({Kind::Heading1, line.mid(2).toString()});
        else if (line.startsWith(u"## "))
            result.push_back({Kind::Heading2, line.mid(3).toString()});
        else if (line.startsWith(u"### "))
            result.push_back({Kind::Heading3, line.mid(4).toString()});
        else if (line.startsWith(u"- "))
            result.push_back({Kind::Bullet, line.mid(2).toString()});
        else if (!isBlank(line))
            result.push_back({Kind::Text, line.toString()});
    }
    return result;
}

ChangelogView::ChangelogView(const QString& title, const QString& text, QWidget* parent)
    : QWidget(parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(12, 12, 12, 12);
    outer->setSpacing(8);

    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    auto* back = new QToolButton;
    back->setAutoRaise(true);
    back->setIcon(ui::icon("chevron.left"));
    back->setToolTip(tr("Back"));
    back->setAccessibleName(back->toolTip());
    connect(back, &QToolButton::clicked, this, &ChangelogView::done);
    header->addWidget(back);
    auto* heading = new QLabel(title);
    heading->setTextFormat(Qt::PlainText);
    heading->setFont(ui::font(TextStyle::Headline));
    header->addWidget(heading, 1);
    outer->addLayout(header);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    for (const ChangelogLine& line : changelogLines(text))
        column->addWidget(rowFor(line));
    column->addStretch(1);

    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("changelogScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setWidget(content);
    outer->addWidget(scroll, 1);
}

}  // namespace trayline::ui

#include "desktop/ui/settings_mcp_group.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStringList>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/mcp/client_registration.h"
#include "core/mcp/tool_catalogue.h"
#include "desktop/ui/settings_form.h"
#include "desktop/ui/wrapping_text.h"

namespace trayline::ui {

SettingsMcpGroup::SettingsMcpGroup(const QString& executable, DelayedCall delay, QWidget* parent)
    : QWidget(parent), copied_(new CopyConfirmation(this, std::move(delay), kCopiedFor)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    const QString title = QStringLiteral("MCP server (Claude Code)");
    toggle_ = new QToolButton;
    toggle_->setText(title);
    toggle_->setAccessibleName(title);
    toggle_->setFont(ui::font(TextStyle::Callout));
    toggle_->setAutoRaise(true);
    toggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toggle_->setArrowType(Qt::RightArrow);
    outer->addWidget(toggle_);

    content_ = new QWidget;
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(0, 6, 0, 0);
    column->setSpacing(8);
    addHelp(column, QStringLiteral("Query this queue from Claude Code. It runs this same app binary with --mcp and "
                                   "reuses the session above, so there is nothing else to sign in to. Run this in "
                                   "the repo you want it in:"),
            TextStyle::Caption);
    const std::string path = executable.toStdString();
    addSnippet(column, QStringLiteral("command"), QString::fromStdString(mcp::registrationCommand(path)));
    addHelp(column, QStringLiteral("`-s project` adds it to that repo only. Restart Claude Code afterwards and "
                                   "approve it, then check with `claude mcp list`."),
            TextStyle::Caption);
    addHelp(column, QStringLiteral("That writes a `.mcp.json` in the repo root. To create it by hand instead:"),
            TextStyle::Caption);
    addSnippet(column, QStringLiteral("json"), QString::fromStdString(mcp::registrationJson(path)));
    allowWrites_ = addCheckBox(column, QStringLiteral("Allow writes (assign, close, add notes)"));
    addHelp(column, QStringLiteral("Off by default: an MCP client drives these unattended, and PATCHes to a live "
                                   "queue are not reversible. Save and restart Claude Code for a change here to "
                                   "take effect."),
            TextStyle::Caption);
    tools_ = addHelp(column, QString(), TextStyle::Caption);
    outer->addWidget(content_);

    connect(toggle_, &QToolButton::clicked, this, [this] { setExpanded(!isExpanded()); });
    connect(copied_, &CopyConfirmation::shownChanged, this, &SettingsMcpGroup::showCopied);
    setExpanded(false);
    setStoredAllowWrites(false);
}

void SettingsMcpGroup::addSnippet(QVBoxLayout* column, const QString& id, const QString& text) {
    snippets_[id] = text;
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    auto* box = new SnippetBox;
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(6, 6, 6, 6);
    auto* shown = new WrappingText(text);
    shown->setFont(ui::font(TextStyle::Caption2, QFont::Normal, true));
    shown->setAccessibleName(text);
    boxLayout->addWidget(shown);
    row->addWidget(box, 1);
    auto* copy = new QPushButton;
    setLabel(copy, QStringLiteral("Copy"));
    copy->setFont(ui::font(TextStyle::Caption));
    copy->setToolTip(id == QLatin1String("json") ? QStringLiteral("Copy the .mcp.json text")
                                                 : QStringLiteral("Copy the command"));
    row->addWidget(copy, 0, Qt::AlignTop);
    column->addLayout(row);
    copyButtons_[id] = copy;
    connect(copy, &QPushButton::clicked, this, [this, id] { copied_->copy(snippets_.at(id), id); });
}

void SettingsMcpGroup::showCopied(const QString& id) {
    for (const auto& [key, button] : copyButtons_)
        setLabel(button, key == id ? QStringLiteral("Copied") : QStringLiteral("Copy"));
}

bool SettingsMcpGroup::isExpanded() const { return !content_->isHidden(); }

void SettingsMcpGroup::setExpanded(bool expanded) {
    toggle_->setAccessibleDescription(expanded ? QStringLiteral("expanded") : QStringLiteral("collapsed"));
    toggle_->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    content_->setVisible(expanded);
}

void SettingsMcpGroup::setStoredAllowWrites(bool allowWrites) {
    QStringList names;
    for (const auto& name : mcp::toolNames(allowWrites))
        names << QString::fromStdString(name);
    const QString text = QStringLiteral("Tools: ") + names.join(QStringLiteral(", ")) + QStringLiteral(".");
    tools_->setText(text);
    tools_->setAccessibleName(text);
}

QString SettingsMcpGroup::snippet(const QString& id) const { return snippets_.at(id); }

}  // namespace trayline::ui

#pragma once

// The settings sheet's collapsible "MCP server (Claude Code)" group: how to register this
// executable with Claude Code (a command and a .mcp.json, each with a Copy button that reads
// "Copied" for 1.5 seconds), the switch that allows writing tools, and the tools an MCP client
// gets as the stored setting stands.

#include <chrono>
#include <map>

#include <QWidget>

#include "desktop/ui/copy_confirmation.h"
#include "desktop/ui/sheet_parts.h"

class QCheckBox;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace trayline::ui {

class SettingsMcpGroup : public QWidget {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kCopiedFor{1500};

    // `executable`: the path the snippets register; `delay` times the "Copied" label.
    SettingsMcpGroup(const QString& executable, DelayedCall delay, QWidget* parent = nullptr);

    bool isExpanded() const;
    void setExpanded(bool expanded);
    // The switch in the form (saved with the rest); the tool list follows `setStoredAllowWrites`.
    QCheckBox* allowWrites() const { return allowWrites_; }
    void setStoredAllowWrites(bool allowWrites);

    QString snippet(const QString& id) const;  // "command" or "json"
    QPushButton* copyButton(const QString& id) const { return copyButtons_.at(id); }
    // The snippet whose button reads "Copied", or empty.
    QString copiedSnippet() const { return copied_->shown(); }
    QLabel* toolsLabel() const { return tools_; }

private:
    void addSnippet(QVBoxLayout* column, const QString& id, const QString& text);
    void showCopied(const QString& id);

    QToolButton* toggle_;
    QWidget* content_;
    QCheckBox* allowWrites_;
    QLabel* tools_;
    CopyConfirmation* copied_;
    std::map<QString, QString> snippets_;
    std::map<QString, QPushButton*> copyButtons_;
};

}  // namespace trayline::ui

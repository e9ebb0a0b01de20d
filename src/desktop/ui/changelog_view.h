#pragma once

// Release notes shown in place of the panel's lists: a back button and a title above a scrolling
// column, one row per line of a small Markdown subset. Nothing inline is interpreted.

#include <vector>

#include <QString>
#include <QStringView>
#include <QWidget>

namespace trayline::ui {

struct ChangelogLine {
    enum class Kind { Heading1, Heading2, Heading3, Bullet, Text };
    Kind kind;
    QString text;  // what is shown, after the line's prefix
    bool operator==(const ChangelogLine&) const = default;
};

// The rows for a text split at every line feed; blank lines (spaces and tabs only) give none.
std::vector<ChangelogLine> changelogLines(const QString& text);

class ChangelogView : public QWidget {
    Q_OBJECT

public:
    ChangelogView(const QString& title, const QString& text, QWidget* parent = nullptr);

Q_SIGNALS:
    void done();
};

}  // namespace trayline::ui

// Renders the tray picture, a few task rows and the release notes in light and dark palettes to
// PNG files under the build tree (screenshots/) for a person to look at, and checks what a look
// would check: readable colours and nothing wider than the panel.

#include <filesystem>

#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#include "core/settings/config.h"
#include "desktop/ui/changelog_view.h"
#include "desktop/ui/menu_bar_label.h"
#include "desktop/ui/style.h"
#include "desktop/ui/task_row.h"
#include "support/temp_env.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

using test::field;

double luminance(const QColor& c) {
    auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct Theme {
    const char* name;
    QPalette palette;
};

class Screenshots : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        Config::setInstanceURL("https://acme.service-now.com");
        theme_ = std::string(GetParam()) == "dark" ? test::darkPalette() : test::lightPalette();
        QApplication::setPalette(theme_);
        std::filesystem::create_directories(TRAYLINE_SCREENSHOT_DIR);
    }
    void TearDown() override { QApplication::setPalette(test::lightPalette()); }

    void save(QWidget& w, const std::string& what) {
        const std::string path =
            std::string(TRAYLINE_SCREENSHOT_DIR) + "/" + what + "-" + GetParam() + ".png";
        EXPECT_TRUE(w.grab().save(QString::fromStdString(path))) << path;
    }

    test::TempProfile profile_;
    QPalette theme_;
};

std::vector<SNTask> sampleRows() {
    std::vector<SNTask> tasks;
    tasks.push_back(test::sampleTask());
    SNTask closed = test::sampleTask();
    closed.number = field("SCTASK0010002");
    closed.state = field("5", "Closed Complete");
    closed.assignedTo = field("");
    closed.ritmShortDescription = field(
        "Onboarding for the new finance team: accounts, laptops, VPN tokens, shared mailboxes and "
        "the monthly reporting workspace, all before the first of the month");
    closed.taskDescription = field("Logs: https://files.example.com/" + std::string(180, 'z'));
    tasks.push_back(closed);
    SNTask plain;
    plain.sysID = field("fedcba9876543210fedcba9876543210");
    plain.number = field("TASK0000042");
    plain.shortDescription = field("Reset password");
    plain.state = field("-5", "Pending");
    plain.openedBy = field("x", "Alan Turing");
    plain.updatedOn = field("2026-03-04 11:59:30");
    tasks.push_back(plain);
    return tasks;
}

TEST_P(Screenshots, LabelRowsAndReleaseNotes) {
    QFrame panel;
    panel.setAutoFillBackground(true);
    panel.setFixedWidth(800);
    auto* column = new QVBoxLayout(&panel);
    column->setContentsMargins(12, 12, 12, 12);
    auto* labels = new QHBoxLayout;
    for (auto [mine, unassigned] : {std::pair{0, 0}, std::pair{3, 0}, std::pair{1234, 56}}) {
        auto* picture = new QLabel;
        QPixmap pixmap = QPixmap::fromImage(MenuBarLabel(mine, unassigned).renderedImage());
        picture->setPixmap(pixmap);
        labels->addWidget(picture);
    }
    labels->addStretch(1);
    column->addLayout(labels);
    // The picture itself at two pixels per point, as the tray receives it.
    EXPECT_TRUE(MenuBarLabel(1234, 0).renderedImage().save(
        QString::fromStdString(std::string(TRAYLINE_SCREENSHOT_DIR) + "/label.png")));

    TaskRow::Services services;
    services.now = [] { return *parseUtc("2026-03-04 12:00:00"); };
    services.dates = [] { return DateFormatter("en_US", "UTC"); };
    std::vector<TaskRow*> rows;
    bool assignee = false;
    for (const SNTask& task : sampleRows()) {
        auto* line = new QFrame;
        line->setFrameShape(QFrame::HLine);
        column->addWidget(line);
        rows.push_back(new TaskRow(task, assignee, nullptr, services));
        column->addWidget(rows.back());
        assignee = !assignee;
    }
    panel.adjustSize();
    panel.show();
    QApplication::processEvents();
    save(panel, "rows");

    for (TaskRow* row : rows) {
        EXPECT_LE(row->geometry().right(), 800 - 12);
        for (QWidget* child : row->findChildren<QWidget*>()) {
            if (child->isVisible()) {
                EXPECT_LE(child->mapTo(&panel, QPoint(child->width(), 0)).x(), 800 - 12)
                    << child->metaObject()->className();
            }
        }
    }

    ChangelogView notes("Trayline v1.4.0",
                        "# 1.4.0\n\n## Added\n- Copy the whole ticket as text from every row, "
                        "including the request's caller and both dates.\n- **Literal** markup\n"
                        "### Tray\nPlain line with <b>angle brackets</b>\n  indented line\n");
    notes.setAutoFillBackground(true);
    notes.resize(800, 420);
    notes.show();
    QApplication::processEvents();
    save(notes, "release-notes");
}

TEST_P(Screenshots, NamedColoursAreReadableOnTheWindow) {
    const QColor window = theme_.color(QPalette::Window);
    EXPECT_GE(contrast(color(NamedColor::Primary), window), 7.0);
    EXPECT_GE(contrast(color(NamedColor::Secondary), window), 4.5);
    EXPECT_GE(contrast(color(NamedColor::Tertiary), window), 3.0);
    for (NamedColor c : {NamedColor::Blue, NamedColor::Cyan, NamedColor::Green, NamedColor::Purple,
                         NamedColor::Gray, NamedColor::Red, NamedColor::Orange})
        EXPECT_GE(contrast(color(c), window), 2.0) << static_cast<int>(c);
    // A separator is seen but stays quiet.
    EXPECT_GT(contrast(color(NamedColor::Separator), window), 1.2);
    EXPECT_LT(contrast(color(NamedColor::Separator), window), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Themes, Screenshots, ::testing::Values("light", "dark"));

}  // namespace
}  // namespace trayline::ui

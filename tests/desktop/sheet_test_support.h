#pragma once

// A signed-in demo profile with a queue model, an updater and a login item for the sheets and the
// panel, and the ways a person reaches widgets: by their announced name, by clicking a list row.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QListWidget>

#include "desktop/models/app_model.h"
#include "desktop/models/updater.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/content_view.h"
#include "qt_test_support.h"
#include "support/demo_fixture.h"
#include "ui_test_support.h"

namespace trayline::test {

class SheetTest {
public:
    explicit SheetTest(demo::Options instance = {});

    SNTask groupTask(bool withRequestItem) const;

    // A panel's services, its links and Quit going nowhere.
    ui::ContentView::Services services();
    // A new panel on the lists, as the desktop starts it.
    void makePanel();
    ui::ChipButton* chip(const QString& prefix);
    // Makes the feed offer version 2.0 with these notes, and waits until the updater has seen it.
    void offerUpdate(const std::string& notes);

    DemoProfile demo;
    std::unique_ptr<AppModel> model;
    // Checks only when asked to, against the feed in the settings; runs as version 1.0.
    std::unique_ptr<Updater> updater;
    XdgAutostartItem loginItem{"/opt/Trayline.app/Contents/bin/trayline"};
    ManualClock clock;
    std::unique_ptr<ui::ContentView> panel;
};

// The one visible widget of type W whose accessible name is `name`; fails the test otherwise.
template <class W>
W* named(QWidget* root, const QString& name) {
    QList<W*> found;
    for (W* w : root->findChildren<W*>())
        if (w->accessibleName() == name && !w->isHidden())
            found << w;
    EXPECT_EQ(found.size(), 1) << name.toStdString();
    return found.value(0);
}

bool clickRow(QListWidget* list, const QString& name);
std::vector<std::string> rowNames(const QListWidget* list);

}  // namespace trayline::test

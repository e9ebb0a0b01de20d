#pragma once

// A signed-in demo profile with a queue model for the sheets, and the ways a person reaches
// widgets: by the name a screen reader announces, by clicking a list row.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QListWidget>
#include <QTest>
#include <QWidget>

#include "desktop/models/app_model.h"
#include "qt_test_support.h"
#include "support/demo_fixture.h"
#include "ui_test_support.h"

namespace trayline::test {

class SheetTest {
protected:
    SheetTest();

    // Requests to exactly this path in the instance's log.
    std::size_t requests(const std::string& method, const std::string& path);
    // A group task with (or without) a requested item, from the model's last refresh.
    SNTask groupTask(bool withRequestItem) const;

    DemoProfile demo;
    std::unique_ptr<AppModel> model;
    ManualClock clock;
};

// The one visible widget of type W whose accessible name is `name`; fails the test otherwise.
template <class W>
W* named(QWidget* root, const QString& name) {
    W* found = nullptr;
    int count = 0;
    for (W* w : root->findChildren<W*>()) {
        if (w->accessibleName() == name && !w->isHidden()) {
            found = w;
            ++count;
        }
    }
    EXPECT_EQ(count, 1) << name.toStdString();
    return found;
}

// What a screen reader reaches with Tab from `first`, by accessible name, until the chain returns.
std::vector<std::string> tabOrder(QWidget* first);

// Clicks the row showing `name`; false when no row shows it.
bool clickRow(QListWidget* list, const QString& name);
std::vector<std::string> rowNames(const QListWidget* list);

}  // namespace trayline::test

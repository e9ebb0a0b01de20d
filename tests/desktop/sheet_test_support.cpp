#include "sheet_test_support.h"

#include <nlohmann/json.hpp>

#include "core/settings/config.h"

namespace trayline::test {

SheetTest::SheetTest(demo::Options instance) : demo(std::move(instance)) {
    demo.signIn();
    demo.instance().insertTask({{"short_description", "Printer jammed on floor 2"}});  // no requested item
    AppModel::Options options;
    options.startPolling = false;
    model = std::make_unique<AppModel>(std::move(options));
    EXPECT_TRUE(await(model->refresh()));
    Updater::Options updates;
    updates.firstDelay = std::chrono::hours(1);
    updates.runningVersion = "1.0";
    updater = std::make_unique<Updater>(std::move(updates));
}

SNTask SheetTest::groupTask(bool withRequestItem) const {
    for (const SNTask& t : model->groupTasks())
        if (t.requestItem.value.empty() != withRequestItem)
            return t;
    ADD_FAILURE() << "no group task " << (withRequestItem ? "with" : "without") << " a requested item";
    return {};
}

ui::ContentView::Services SheetTest::services() {
    ui::ContentView::Services s;
    s.rows.openUrl = [](const QUrl&) {};
    s.quit = [] {};
    s.loginItem = &loginItem;
    return s;
}

void SheetTest::makePanel() {
    panel = std::make_unique<ui::ContentView>(model.get(), updater.get(), services());
    panel->resize(800, 700);
    panel->show();
    EXPECT_TRUE(spinUntil([&] { return panel->middleArea() == ui::MiddleArea::lists; }));
}

ui::ChipButton* SheetTest::chip(const QString& prefix) {
    for (auto* c : panel->findChildren<ui::ChipButton*>())
        if (c->text().startsWith(prefix) && !c->isHidden())
            return c;
    ADD_FAILURE() << "no chip " << prefix.toStdString();
    return nullptr;
}

void SheetTest::offerUpdate(const std::string& notes) {
    const auto feed = demo.profile().root() / "feed.json";
    writeFile(feed, R"({"version":"2.0","url":"https://example.com/T.zip","sha256":"00","notes":)" +
                        nlohmann::json(notes).dump() + "}");
    Config::setUpdateFeedURL("file://" + feed.string());
    updater->check(true);
    EXPECT_TRUE(spinUntil([&] { return updater->hasAvailable(); }));
}

bool clickRow(QListWidget* list, const QString& name) {
    const auto rows = list->findItems(name, Qt::MatchExactly);
    if (rows.isEmpty())
        return false;
    list->scrollToItem(rows.front());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(rows.front()).center());
    return true;
}

std::vector<std::string> rowNames(const QListWidget* list) {
    std::vector<std::string> names;
    for (int i = 0; i < list->count(); ++i)
        names.push_back(list->item(i)->text().toStdString());
    return names;
}

}  // namespace trayline::test

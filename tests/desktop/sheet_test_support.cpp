#include "sheet_test_support.h"

namespace trayline::test {

SheetTest::SheetTest() {
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

#include "sheet_test_support.h"

#include <gtest/gtest.h>

namespace trayline::test {

SheetTest::SheetTest() {
    demo.signIn();
    demo.instance().insertTask({{"short_description", "Printer jammed on floor 2"}});  // no requested item
    AppModel::Options options;
    options.startPolling = false;
    model = std::make_unique<AppModel>(std::move(options));
    EXPECT_TRUE(await(model->refresh()));
}

std::size_t SheetTest::requests(const std::string& method, const std::string& path) {
    std::size_t n = 0;
    for (const auto& r : demo.instance().requestLog())
        n += r.method == method && r.path == path;
    return n;
}

SNTask SheetTest::groupTask(bool withRequestItem) const {
    for (const SNTask& t : model->groupTasks())
        if (t.requestItem.value.empty() != withRequestItem)
            return t;
    ADD_FAILURE() << "no group task " << (withRequestItem ? "with" : "without") << " a requested item";
    return {};
}

std::vector<std::string> tabOrder(QWidget* first) {
    std::vector<std::string> names;
    QWidget* w = first;
    do {
        // A control made of parts (a spin box's text field) is announced by its outer name.
        QWidget* announced =
            w->accessibleName().isEmpty() && w->parentWidget() && w->parentWidget()->focusProxy() == w ? w->parentWidget() : w;
        if (!w->focusProxy() && w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus))
            names.push_back(announced->accessibleName().toStdString());
        w = w->nextInFocusChain();
    } while (w && w != first && names.size() < 200);
    return names;
}

bool clickRow(QListWidget* list, const QString& name) {
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text() == name) {
            list->scrollToItem(list->item(i));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(i)).center());
            return true;
        }
    }
    return false;
}

std::vector<std::string> rowNames(const QListWidget* list) {
    std::vector<std::string> names;
    for (int i = 0; i < list->count(); ++i)
        names.push_back(list->item(i)->text().toStdString());
    return names;
}

}  // namespace trayline::test

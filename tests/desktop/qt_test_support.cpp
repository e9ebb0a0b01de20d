#include "qt_test_support.h"

#include <gtest/gtest.h>

namespace trayline::test {

void ensureQtApp() {
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "trayline-desktop-test";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives until the process ends
}

std::vector<std::string> numbersOf(const TaskList& tasks) {
    std::vector<std::string> numbers;
    for (const auto& t : tasks)
        numbers.push_back(t.number.display);
    return numbers;
}

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureQtApp(); }
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

}  // namespace trayline::test

#include "widgets_app.h"

#include <gtest/gtest.h>

#include <QApplication>

namespace trayline::test {

void ensureWidgetsApp() {
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "trayline-widgets-test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives until the process ends
}

namespace {
class WidgetsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureWidgetsApp(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new WidgetsEnvironment);
}  // namespace

}  // namespace trayline::test

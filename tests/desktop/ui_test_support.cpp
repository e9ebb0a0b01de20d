#include "ui_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QStyleFactory>

namespace trayline::test {

namespace {

class WidgetEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static char name[] = "trayline-ui-test";
        static char* argv[] = {name, nullptr};
        static int argc = 1;
        new QApplication(argc, argv);  // lives until the process ends
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    }
};
const auto* const kWidgetEnvironment = ::testing::AddGlobalTestEnvironment(new WidgetEnvironment);

}  // namespace

SNField field(std::string value, std::string display) { return {std::move(value), std::move(display)}; }
SNField field(std::string both) { return {both, both}; }

SNTask sampleTask() {
    SNTask t;
    t.sysID = field("0123456789abcdef0123456789abcdef");
    t.number = field("SCTASK0010001");
    t.requestItem = field("11111111111111111111111111111111", "RITM0020002");
    t.request = field("22222222222222222222222222222222", "REQ0030003");
    t.shortDescription = field("Replace laptop battery");
    t.taskDescription = field("The battery swells and the lid no longer closes.");
    t.caller = field("33333333333333333333333333333333", "Ada Lovelace");
    t.state = field("2", "Work in Progress");
    t.assignedTo = field("44444444444444444444444444444444", "Grace Hopper");
    t.reqOpenedAt = field("2026-03-01 09:30:00");
    t.updatedOn = field("2026-03-04 11:00:00");
    return t;
}

}  // namespace trayline::test

#include "qt_test_support.h"

namespace trayline::test {

namespace {

// The binary's QCoreApplication (offscreen), living until the process ends.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "trayline-desktop-test";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

SNTask ModelTest::taskWithId(const AppModel& model, const std::string& id) {
    const auto& tasks = model.groupTasks();
    const auto found = std::find_if(tasks.begin(), tasks.end(), [&](const SNTask& t) { return t.sysID.value == id; });
    EXPECT_NE(found, tasks.end()) << "no task " << id << " in the group queue (" << model.errorMessage().toStdString()
                                  << ")";
    return found == tasks.end() ? SNTask{} : *found;
}

}  // namespace trayline::test

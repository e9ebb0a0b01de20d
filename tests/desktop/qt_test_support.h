#pragma once

// Waits that run the real event loop until a future or condition arrives, and a signed-in demo
// profile to run queue models on. Linked in, it gives the binary a QCoreApplication (offscreen).

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFuture>
#include <QSignalSpy>
#include <QTest>

#include "core/auth/token_store.h"
#include "core/settings/config.h"
#include "desktop/models/app_model.h"
#include "support/demo_fixture.h"

namespace trayline::test {

// Run the event loop until the condition holds or the future finishes (true) or the time is up (false).
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

template <class T>
bool await(const QFuture<T>& future, int timeoutMs = 15000) {
    return spinUntil([&] { return future.isFinished(); }, timeoutMs);
}

inline bool holds(const TaskList& tasks, const std::string& id) {
    return std::any_of(tasks.begin(), tasks.end(), [&](const SNTask& t) { return t.sysID.value == id; });
}

// A signed-in demo profile; its models poll only when asked and play no browser unless given one.
class ModelTest : public ::testing::Test {
protected:
    void SetUp() override { demo.signIn(); }
    std::unique_ptr<AppModel> makeModel(Notifier* notifier = nullptr, bool poll = false,
                                        std::chrono::milliseconds minute = std::chrono::hours(1),
                                        SignInFlow::Options signIn = {[](const std::string&) {}, 0}) {
        return std::make_unique<AppModel>(AppModel::Options{notifier, minute, std::move(signIn), poll});
    }
    std::unique_ptr<AppModel> refreshedModel(Notifier* notifier = nullptr) {
        auto model = makeModel(notifier);
        EXPECT_TRUE(await(model->refresh()));
        return model;
    }
    // The task of the group queue with this sys_id (an empty task and a failure when absent).
    static SNTask taskWithId(const AppModel& model, const std::string& id);
    std::size_t taskFetches() const { return demo.countRequests("GET", "/api/now/table/sc_task"); }

    DemoProfile demo;
};

}  // namespace trayline::test

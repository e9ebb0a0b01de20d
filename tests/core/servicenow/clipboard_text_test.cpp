#include <gtest/gtest.h>

#include "core/servicenow/sn_user.h"
#include "core/settings/config.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

class ClipboardTextTest : public ::testing::Test {
protected:
    void SetUp() override { Config::setInstanceURL("https://acme.service-now.com"); }
    test::TempProfile profile;
    const DateFormatter us{"en_US", "America/Los_Angeles"};
};

TEST_F(ClipboardTextTest, RendersARealisticTaskLineByLine) {
    const auto tasks = decodeTaskList(test::readFile(TRAYLINE_FIXTURES "/task_reply.json"));
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].clipboardText(us),
              "SCTASK0010042 / RITM0020017 / REQ0030009\n"
              "New laptop for Maria\n"
              "\n"
              "State: Work in Progress\n"
              "Priority: 3 - Moderate\n"
              "Requested for: Maria Lopez\n"
              "Assigned to: Unassigned\n"
              "Group: Workplace Support\n"
              "Opened: Mar 3, 2025\n"
              "Updated: Mar 5, 2025, 3:30\u202FPM\n"
              "\n"
              "Maria starts Monday.\nShe needs a 14\" laptop.\n"
              "\n"
              "https://acme.service-now.com/nav_to.do?uri=sc_request.do%3Fsys_id%3Da0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5");
}

TEST_F(ClipboardTextTest, TaskWithNothingStillRendersAssigneeAndLink) {
    EXPECT_EQ(SNTask{}.clipboardText(us),
              "\nAssigned to: Unassigned\n\nhttps://acme.service-now.com/nav_to.do?uri=sc_task.do%3Fsys_id%3D");
}

TEST_F(ClipboardTextTest, ClosedTaskShowsClosingTimeInTheUsersZoneAndSkipsBadDates) {
    SNTask t;
    t.number = {"", "SCTASK9"};
    t.assignedTo = {"u1", "Ann Lee"};
    t.updatedOn = {"yesterday", ""};
    t.closedAt = {"2025-01-01 07:15:00", ""};
    Config::setInstanceURL("bad url");
    const DateFormatter de{"de_DE", "Europe/Berlin"};
    EXPECT_EQ(t.clipboardText(de), "SCTASK9\n\nAssigned to: Ann Lee\nClosed: 01.01.2025, 08:15");
}

}  // namespace
}  // namespace trayline

// The panel's rules as tables: which content fills the middle area, the member chips, the lists
// behind the tabs, the month labels, the list link and the banner's teaser.

#include <gtest/gtest.h>

#include "core/settings/config.h"
#include "desktop/ui/panel_logic.h"
#include "support/temp_env.h"

namespace trayline::ui {
namespace {

SNTask assignedTo(const std::string& user) {
    SNTask t;
    t.assignedTo.value = user;
    static int next = 0;
    t.sysID.value = "t" + std::to_string(++next);
    return t;
}

SNUser user(const std::string& id, const std::string& name) { return SNUser{id, name, std::nullopt}; }

struct MiddleCase {
    const char* name;
    PanelInputs in;
    MiddleArea expected;
};

class MiddleAreaTest : public ::testing::TestWithParam<MiddleCase> {};

TEST_P(MiddleAreaTest, FirstRuleThatHoldsWins) { EXPECT_EQ(chooseMiddleArea(GetParam().in), GetParam().expected); }

//                         settings upd    log    assign close  ready  config avail  signed
INSTANTIATE_TEST_SUITE_P(
    Rules, MiddleAreaTest,
    ::testing::Values(
        MiddleCase{"Unconfigured", {false, false, false, false, false, true, false, false, true}, MiddleArea::settings},
        MiddleCase{"SettingsAsked", {true, true, true, true, true, true, true, true, true}, MiddleArea::settings},
        MiddleCase{"NotesOfAnUpdate", {false, true, true, true, false, true, true, true, true}, MiddleArea::updateNotes},
        MiddleCase{"NotesWithoutUpdateFallThrough", {false, true, false, false, false, true, true, false, true},
                   MiddleArea::lists},
        MiddleCase{"OwnNotes", {false, false, true, true, false, true, true, false, false}, MiddleArea::changelog},
        MiddleCase{"KeyringNotAnsweredYet", {false, false, false, true, false, false, false, false, false},
                   MiddleArea::loading},
        MiddleCase{"SignedOut", {false, false, false, true, true, true, true, false, false}, MiddleArea::signIn},
        MiddleCase{"AssignBeforeClose", {false, false, false, true, true, true, true, false, true}, MiddleArea::assign},
        MiddleCase{"Close", {false, false, false, false, true, true, true, false, true}, MiddleArea::close},
        MiddleCase{"Lists", {false, false, false, false, false, true, true, true, true}, MiddleArea::lists}),
    [](const auto& p) { return std::string(p.param.name); });

// Two members: one with a first and last name and two group tasks, one with a one-word name and
// none. The second is hidden until selected; counts come from the group queue only.
TEST(MemberChips, VisibleHiddenOrderAndLabels) {
    const UserList members{user("b", "Sam"), user("a", "Jordan Lee"), user("c", "Priya Shah")};
    const TaskList group{assignedTo("a"), assignedTo("c"), assignedTo("a"), assignedTo("")};
    auto ids = [](const UserList& users) {
        std::vector<std::string> out;
        for (const auto& u : users)
            out.push_back(u.sysID);
        return out;
    };
    EXPECT_EQ(ids(visibleMembers(members, group, "mine")), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(ids(hiddenMembers(members, group, "mine")), (std::vector<std::string>{"b"}));
    EXPECT_EQ(ids(visibleMembers(members, group, "b")), (std::vector<std::string>{"a", "c", "b"}));  // selected stays
    EXPECT_TRUE(hiddenMembers(members, group, "b").empty());
    const UserList tied{user("x", "X"), user("y", "Y")};
    EXPECT_EQ(ids(visibleMembers(tied, {assignedTo("y"), assignedTo("x")}, "")), (std::vector<std::string>{"x", "y"}));

    EXPECT_EQ(memberChipLabel("Jordan Lee", 2), QStringLiteral("Jordan (2)"));
    EXPECT_EQ(memberChipLabel("  Sam  ", 0), QStringLiteral("Sam (0)"));
    EXPECT_EQ(memberChipLabel("", 0), QStringLiteral(" (0)"));
    EXPECT_EQ(memberChipLabel("   ", 1), QStringLiteral("    (1)"));  // no word: the whole name
}

TEST(Tabs, ListsAndAssigneeColumn) {
    const TaskList mine{assignedTo("me")}, group{assignedTo("a"), assignedTo(""), assignedTo("a")},
        doneThis{assignedTo("z")}, doneLast{};
    const Lists lists{mine, group, doneThis, doneLast};
    const std::vector<std::tuple<std::string, std::size_t, bool>> rows{
        {"mine", 1, false}, {"all", 3, true}, {"unassigned", 1, false}, {"doneThis", 1, true},
        {"doneLast", 0, true}, {"a", 2, false}, {"nobody", 0, false}};
    for (const auto& [tab, count, assignee] : rows) {
        EXPECT_EQ(currentTasks(tab, lists).size(), count) << tab;
        EXPECT_EQ(showsAssignee(tab), assignee) << tab;
    }
}

TEST(MonthLabels, CalendarMonthsInTheFormattersZone) {
    const DateFormatter english("en_US", "Europe/Berlin");
    const auto at = [](const char* utc) { return *parseUtc(utc); };
    EXPECT_EQ(monthLabel(0, at("2026-01-10 12:00:00"), english), QStringLiteral("Jan"));
    EXPECT_EQ(monthLabel(-1, at("2026-01-10 12:00:00"), english), QStringLiteral("Dec"));
    EXPECT_EQ(monthLabel(-1, at("2026-03-31 12:00:00"), english), QStringLiteral("Feb"));
    EXPECT_EQ(monthLabel(0, at("2026-05-31 22:30:00"), english), QStringLiteral("Jun"));  // already June in Berlin
    EXPECT_EQ(monthLabel(-1, at("2026-05-31 22:30:00"), DateFormatter("en_US", "America/New_York")),
              QStringLiteral("Apr"));  // still May in New York
}

TEST(ListLink, QueryByTabEncodedAsciiOnly) {
    test::TempProfile profile;
    Config::setInstanceURL("https://acme.service-now.com/");
    Config::setGroupSysID("g1");
    const std::string base = "https://acme.service-now.com/nav_to.do?uri=sc_task_list.do%3Fsysparm_query%3D";
    const std::string queue = "assignment_group%3Dg1%5EstateIN1%2C2%2C3%5EORDERBYDESCopened_at";
    EXPECT_EQ(listAddress("unassigned"), base + queue);  // the whole queue, not an unassigned-only list
    EXPECT_EQ(listAddress("some-member"), base + queue);
    EXPECT_EQ(listAddress("mine"), base + "assigned_toDYNAMIC90d1921e5f510100a9ad2572f2b477fe%5Eactive%3Dtrue%5EORDERBYDESCopened_at");
    EXPECT_NE(listAddress("doneLast")->find("closed_atONLast%20month%40javascript%3Ags.beginningOfLastMonth%28%29"),
              std::string::npos);
    Config::setTable("incident");
    Config::setGroupSysID("grüppe");
    EXPECT_NE(listAddress("all")->find("uri=incident_list.do"), std::string::npos);
    EXPECT_NE(listAddress("all")->find("gr%C3%BCppe"), std::string::npos);
    Config::setInstanceURL("not a url");
    EXPECT_EQ(listAddress("all"), std::nullopt);
}

TEST(BannerTeaser, FirstDashLineTrimmed) {
    const std::vector<std::pair<const char*, const char*>> rows{
        {"# 2.0\n\n-\t Faster refresh \t\n- Second", "Faster refresh"},
        {"Intro\n  - indented is not a bullet\n-x", "x"},
        {"## Notes\nNothing else", nullptr},
        {"", nullptr}};
    for (const auto& [notes, teaser] : rows) {
        const QString got = bannerTeaser(QString::fromUtf8(notes));
        if (teaser)
            EXPECT_EQ(got, QString::fromUtf8(teaser)) << notes;
        else
            EXPECT_TRUE(got.isNull()) << notes;
    }
}

}  // namespace
}  // namespace trayline::ui

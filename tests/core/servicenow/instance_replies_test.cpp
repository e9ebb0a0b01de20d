// What a production instance sends beyond records, as the client reads it: lists longer than the
// row limit, fields and records its access rules hide, rate limits, and error pages of the proxies
// in front of it.

#include <gtest/gtest.h>

#include "core/auth/auth_error.h"
#include "core/servicenow/service_now_client.h"
#include "core/servicenow/watcher_queries.h"
#include "core/settings/config.h"
#include "support/demo_fixture.h"
#include "support/outcome.h"

namespace trayline {
namespace {

using nlohmann::json;

class InstanceRepliesTest : public ::testing::Test {
protected:
    void SetUp() override { demo.signIn(); }
    test::DemoProfile demo;
    ServiceNowClient client;
};

TEST_F(InstanceRepliesTest, ListsCarryTheInstancesTotalOrNothingUsable) {
    const auto all = client.fetchTaskPage(Config::groupQuery(), 1000);
    const auto unassigned = std::count_if(all.tasks.begin(), all.tasks.end(),
                                          [](const SNTask& t) { return t.assignedTo.value.empty(); });
    ASSERT_GT(all.tasks.size(), 2u);
    const auto page = client.fetchTaskPage(Config::groupQuery(), 2);
    EXPECT_EQ(page.tasks.size(), 2u);
    EXPECT_EQ(page.total, static_cast<std::int64_t>(all.tasks.size()));
    EXPECT_EQ(client.countTasks(queries::unassignedInGroupQueue()), unassigned);

    for (const json& header : {json{{"enabled", false}}, json{{"value", "abc"}}, json{{"value", "-3"}},
                               json{{"value", ""}}, json{{"value", "12 tasks"}}}) {
        json request{{"action", "total_count"}};
        request.update(header);
        demo.instance().control(request);
        EXPECT_EQ(client.fetchTaskPage(Config::groupQuery(), 2).total, std::nullopt) << header;
        EXPECT_EQ(client.countTasks(queries::unassignedInGroupQueue()), std::nullopt) << header;
    }
}

TEST_F(InstanceRepliesTest, HiddenFieldsAndRecordsComeBackAsTheAccessRulesLeaveThem) {
    const auto all = client.fetchTasks(Config::groupQuery(), 1000);
    const auto assigned = std::find_if(all.begin(), all.end(), [](const SNTask& t) { return !t.assignedTo.value.empty(); });
    ASSERT_NE(assigned, all.end());
    const std::string hiddenRow = all.front().id() == assigned->id() ? all.back().id() : all.front().id();
    demo.instance().control({{"action", "acl"},
                             {"hidden_rows", {hiddenRow}},
                             {"hidden_fields", {{"assigned_to", {assigned->id()}}}}});
    // The limit is applied before the rules: as many rows asked as the list has, one fewer back.
    const auto page = client.fetchTaskPage(Config::groupQuery(), static_cast<int>(all.size()));
    EXPECT_EQ(page.tasks.size(), all.size() - 1);
    EXPECT_EQ(page.total, static_cast<std::int64_t>(all.size()));
    for (const auto& task : page.tasks) {
        EXPECT_NE(task.id(), hiddenRow);
        EXPECT_EQ(task.assigneeKnown, task.id() != assigned->id()) << task.id();
        EXPECT_FALSE(task.number.value.empty()) << "the rest of a record with a hidden field is there";
    }
    EXPECT_TRUE(SNTask::fromJson(json{{"number", "SCTASK1"}}).assigneeKnown == false);
    EXPECT_TRUE(SNTask::fromJson(json{{"assigned_to", json{{"value", ""}, {"display_value", ""}}}}).assigneeKnown);
}

TEST_F(InstanceRepliesTest, ARateLimitedReplySaysWhenToComeBack) {
    demo.instance().control({{"action", "rate_limit"}, {"limit", 1}, {"window_seconds", 120}});
    EXPECT_NO_THROW(client.currentUser());
    try {
        client.currentUser();
        FAIL() << "the second request is over the limit";
    } catch (const AuthError& e) {
        EXPECT_EQ(e.status(), 429);
        EXPECT_TRUE(std::string(e.what()).starts_with("Request failed (HTTP 429): {")) << e.what();
        ASSERT_TRUE(e.retryAfter());
        const auto wait = e.retryAfter()->at - std::chrono::system_clock::now();
        EXPECT_GT(wait, std::chrono::seconds(110));
        EXPECT_LE(wait, std::chrono::seconds(121));
        EXPECT_EQ(e.retryAfter()->note, "");
    }
}

struct PageRow {
    int status;
    std::string contentType, body, message;
};

class ErrorPageTest : public InstanceRepliesTest, public ::testing::WithParamInterface<PageRow> {};

TEST_P(ErrorPageTest, ReadsAsItsTitleOrTextNotItsMarkup) {
    demo.instance().failNext(1, GetParam().status, GetParam().body, GetParam().contentType);
    EXPECT_EQ(test::outcomeOf([&] { client.groupMembers(); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ErrorPageTest,
    ::testing::Values(
        PageRow{502, "text/html; charset=iso-8859-1",
                "<!DOCTYPE html>\n<html><head><TITLE>Bad Gateway</TITLE></head><body><h1>Bad Gateway</h1>"
                "<p>The proxy server received an invalid response.</p></body></html>",
                "Request failed (HTTP 502): Bad Gateway"},
        PageRow{503, "TEXT/HTML",
                "<html><head><title> </title><style>p{color:red}</style></head>\n<body><h1>Service\n  "
                "Unavailable</h1><script>var a = '<p>';</script><p>Try &amp; retry&#33; &#x1F600;</p></body></html>",
                "Request failed (HTTP 503): Service Unavailable Try & retry! \U0001F600"},
        PageRow{500, "application/json", "{\"error\":\"<b>boom</b>\"}",
                "Request failed (HTTP 500): {\"error\":\"<b>boom</b>\"}"},
        PageRow{500, "text/plain", "<b>boom</b>", "Request failed (HTTP 500): <b>boom</b>"}));

}  // namespace
}  // namespace trayline

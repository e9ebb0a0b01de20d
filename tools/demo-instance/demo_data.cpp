// The built-in demo data: one assignment group with eight members, about forty catalog tasks with
// their requested items and requests, a handful of incidents. Dates are relative to "now", so the
// closed-this-month and closed-last-month lists are never empty. Identities are stable across runs.

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "demo_data.h"
#include "demo_instance.h"
#include "util.h"

namespace trayline::demo {

using nlohmann::json;
using util::TimePoint;
using namespace std::chrono;

namespace {

struct Person {
    const char* key;
    const char* first;
    const char* last;
    const char* email;  // "" = none
    const char* title;
    bool active;
};

// Name fragments are shared on purpose: "Jordan" (Jordan Lee, Chris Jordan, Jordan Price),
// "Sam" (Sam Carter, Samira Haddad, Samuel Ortiz), "Morgan" (Alex Morgan, Morgan Ellis, inactive).
const std::vector<Person> kPeople = {
    {"alex", "Alex", "Morgan", "alex.morgan@example.com", "Support Engineer", true},
    {"jordan", "Jordan", "Lee", "jordan.lee@example.com", "Senior Support Engineer", true},
    {"priya", "Priya", "Natarajan", "priya.natarajan@example.com", "Support Engineer", true},
    {"sam", "Sam", "Carter", "sam.carter@example.com", "Support Engineer", true},
    {"samira", "Samira", "Haddad", "samira.haddad@example.com", "Team Lead, Support", true},
    {"chris", "Chris", "Jordan", "chris.jordan@example.com", "Support Engineer", true},
    {"taylor", "Taylor", "Brooks", "taylor.brooks@example.com", "Support Engineer (new hire)", true},
    {"morgan", "Morgan", "Ellis", "morgan.ellis@example.com", "Support Engineer (left)", false},
    {"ravi", "Ravi", "Shah", "ravi.shah@example.com", "Network Engineer", true},
    {"dana", "Dana", "Whitfield", "", "Warehouse Coordinator", true},
    {"samuel", "Samuel", "Ortiz", "samuel.ortiz@example.com", "Accountant", true},
    {"lena", "Lena", "Fischer", "lena.fischer@example.com", "Product Manager", true},
    {"marcus", "Marcus", "Bell", "marcus.bell@example.com", "Sales Director", true},
    {"olivia", "Olivia", "Chen", "olivia.chen@example.com", "Designer", true},
    {"rafael", "Rafael", "Gomez", "rafael.gomez@example.com", "Developer", true},
    {"hannah", "Hannah", "Kim", "hannah.kim@example.com", "HR Partner", true},
    {"tom", "Tom", "Becker", "tom.becker@example.com", "Facilities", true},
    {"nora", "Nora", "Jensen", "nora.jensen@example.com", "Legal Counsel", true},
    {"jprice", "Jordan", "Price", "jordan.price@example.com", "Recruiter", true},
    {"grace", "Grace", "O'Neill", "grace.oneill@example.com", "Office Manager", true},
    {"zoe", "Zo\u00eb", "Martin", "zoe.martin@example.com", "Data Analyst", true},
};
const std::vector<const char*> kCallers = {"dana",   "samuel", "lena", "marcus", "olivia", "rafael", "hannah",
                                           "tom",    "nora",   "jprice", "grace", "zoe"};

struct Template {
    const char* ritmTitle;  // "" = a requested item without short description
    const char* ritmText;
    const char* taskTitle;
    const char* taskText;
    const char* catItem;
};

const std::vector<Template> kTemplates = {
    {"New laptop", "Standard developer laptop, 32 GB RAM.\nKeyboard layout: US International.\nDeliver to desk 4.17.",
     "Prepare and hand over laptop", "Image the laptop with the engineering build,\nenrol it in device management,\nthen hand it over in person.", "Standard Laptop"},
    {"Access to Finance shared drive", "Needs read access to \\\\files\\finance\\reports.\nApproved by the finance lead.",
     "Grant shared drive access", "Add the user to FIN-Reports-Read.\nCheck that the mapping appears after the next login.", "Shared Drive Access"},
    {"VPN token replacement", "Old hardware token is broken (display blank).\nUser travels next week.",
     "Ship replacement VPN token", "Assign a new token in the VPN console,\nship it by courier, revoke the old serial.", "VPN Token"},
    {"Second monitor", "27\" monitor for the home office.\nShipping address on file.",
     "Order and ship monitor", "Order from the standard catalogue,\nconfirm delivery with the user.", "Monitor"},
    {"Software: Adobe Acrobat Pro", "Needed to edit contracts.\nCost centre 4410.",
     "Assign Acrobat Pro licence", "Assign a licence from the pool;\nif none is free, ask procurement for one more.", "Software Licence"},
    {"Mobile phone", "Company phone for the on-call rota.\nSIM with EU roaming.",
     "Set up company phone", "Enrol in MDM, install the authenticator,\nactivate the SIM and test roaming.", "Mobile Device"},
    {"New hire setup: accounts", "Start date Monday.\nTeam: Sales EMEA.\nManager: Marcus Bell.",
     "Create accounts for new hire", "Create the directory account, mailbox and chat account;\nadd to Sales-EMEA groups.", "New Hire"},
    {"Meeting room display broken", "Room 3.02: the wall display shows no signal.\nHDMI and USB-C both tried.",
     "Check meeting room display", "Check cabling and the display input;\nreplace the dongle if that is the cause.", "Facilities IT"},
    {"Password manager team vault", "A shared vault for the design team\nwith five members.",
     "Create team vault", "Create the vault, add the five members,\nset the design lead as owner.", "Password Manager"},
    {"Headset", "Noise-cancelling headset for calls.",
     "Hand out headset", "Take one from the stock cupboard and log the serial.", "Headset"},
    {"", "",
     "Reset MFA enrolment", "User changed phones and can no longer sign in.\nVerify identity by video call before resetting.", "Account Help"},
    {"Docking station", "USB-C dock for desk 2.08.\nCurrent dock drops the network every hour.",
     "Replace docking station", "Swap the dock, update its firmware,\nreturn the faulty one to the vendor.", "Docking Station"},
};

struct TaskSpec {
    int tmpl;            // index in kTemplates; -1 = no requested item (internal task)
    int caller;          // index in kCallers
    const char* state;
    const char* priority;
    const char* assignee;  // person key or ""
    const char* group;     // "desk", "network"
    double openedHoursAgo;  // open tasks; closed ones derive it from closedAt
    int closed;          // 0 = open, 1 = this month, 2 = last month, 3 = two months ago
    double closedFrac;   // where in that month (0..1 of the elapsed part)
    int ritmGroup;       // tasks with the same non-zero value share one requested item
};

const std::vector<TaskSpec> kTasks = {
    // Group queue, unassigned.
    {0, 0, "1", "3", "", "desk", 2.5, 0, 0, 0},
    {3, 1, "1", "4", "", "desk", 5.0, 0, 0, 0},
    {6, 2, "1", "2", "", "desk", 9.0, 0, 0, 11},
    {6, 2, "1", "2", "", "desk", 9.1, 0, 0, 11},
    {9, 3, "1", "4", "", "desk", 26.0, 0, 0, 0},
    {1, 4, "2", "3", "", "desk", 50.0, 0, 0, 0},
    {10, 5, "1", "1", "", "desk", 1.2, 0, 0, 0},
    {-1, 0, "1", "4", "", "desk", 70.0, 0, 0, 0},
    {7, 6, "3", "3", "", "desk", 120.0, 0, 0, 0},
    // Group queue, assigned to the demo user.
    {2, 7, "2", "2", "alex", "desk", 20.0, 0, 0, 0},
    {4, 8, "1", "3", "alex", "desk", 44.0, 0, 0, 0},
    {11, 9, "3", "3", "alex", "desk", 200.0, 0, 0, 0},
    {5, 10, "2", "1", "alex", "desk", 7.0, 0, 0, 0},
    {8, 11, "1", "4", "alex", "desk", 96.0, 0, 0, 0},
    // Group queue, other members.
    {0, 1, "2", "3", "jordan", "desk", 30.0, 0, 0, 0},
    {1, 2, "1", "3", "priya", "desk", 15.0, 0, 0, 0},
    {3, 3, "2", "4", "sam", "desk", 60.0, 0, 0, 0},
    {5, 4, "3", "2", "samira", "desk", 150.0, 0, 0, 0},
    {9, 5, "1", "4", "chris", "desk", 36.0, 0, 0, 0},
    {-1, 6, "2", "3", "jordan", "desk", 240.0, 0, 0, 0},
    {2, 7, "1", "2", "priya", "desk", 12.0, 0, 0, 0},
    // Pending (not in the queue's states; still active).
    {4, 8, "-5", "4", "alex", "desk", 300.0, 0, 0, 0},
    {11, 9, "-5", "3", "", "desk", 180.0, 0, 0, 0},
    // Closed this month.
    {0, 10, "5", "3", "alex", "desk", 0, 1, 0.15, 0},
    {1, 11, "5", "3", "jordan", "desk", 0, 1, 0.30, 0},
    {2, 0, "5", "2", "alex", "desk", 0, 1, 0.45, 0},
    {3, 1, "5", "4", "priya", "desk", 0, 1, 0.55, 0},
    {6, 2, "5", "3", "sam", "desk", 0, 1, 0.70, 12},
    {6, 2, "5", "3", "samira", "desk", 0, 1, 0.72, 12},
    {-1, 3, "5", "4", "alex", "desk", 0, 1, 0.85, 0},
    // Closed last month.
    {4, 4, "5", "3", "jordan", "desk", 0, 2, 0.10, 0},
    {5, 5, "5", "2", "alex", "desk", 0, 2, 0.25, 0},
    {7, 6, "5", "3", "chris", "desk", 0, 2, 0.40, 0},
    {8, 7, "5", "4", "priya", "desk", 0, 2, 0.60, 0},
    {9, 8, "5", "4", "samira", "desk", 0, 2, 0.75, 0},
    {10, 9, "5", "1", "alex", "desk", 0, 2, 0.90, 0},
    // Closed two months ago (in neither list).
    {11, 10, "5", "3", "jordan", "desk", 0, 3, 0.50, 0},
    // Another group: must never show in the desk's lists (one is the demo user's own task).
    {2, 11, "2", "2", "alex", "network", 40.0, 0, 0, 0},
    {-1, 0, "1", "3", "", "network", 10.0, 0, 0, 0},
    {7, 1, "1", "3", "ravi", "network", 80.0, 0, 0, 0},
    {1, 2, "5", "4", "ravi", "network", 0, 1, 0.50, 0},
};

const std::vector<const char*> kResolutions = {
    "Done: handed over in person and confirmed working.",
    "Access granted; the user confirmed they can open the folder.",
    "Replacement shipped and the old token revoked.",
    "Delivered and set up with the user on a call.",
    "Completed as requested.\nPlease reopen if anything is missing.",
};

std::string fmt(TimePoint t) { return util::formatUtc(t); }

TimePoint lerp(TimePoint a, TimePoint b, double f) {
    return a + seconds{static_cast<long long>(static_cast<double>((b - a).count()) * f)};
}

std::string personId(const std::string& key) {
    return key == "alex" ? std::string(kDemoUserSysId) : util::stableSysId("sys_user/" + key);
}

std::string groupId(const std::string& key) {
    return key == "desk" ? std::string(kGroupSysId) : util::stableSysId("sys_user_group/" + key);
}

}  // namespace

const std::vector<std::string>& demoRequestTitles() {
    static const std::vector<std::string> titles = [] {
        std::vector<std::string> v;
        for (const auto& t : kTemplates) v.push_back(*t.ritmTitle ? t.ritmTitle : t.taskTitle);
        return v;
    }();
    return titles;
}

json newRequestRecords(std::size_t templateIndex, const std::string& callerSysId, util::TimePoint now) {
    const Template& t = kTemplates[templateIndex % kTemplates.size()];
    const std::string opened = fmt(now);
    json req = {{"short_description", *t.ritmTitle ? t.ritmTitle : t.taskTitle},
                {"requested_for", callerSysId}, {"opened_by", callerSysId},
                {"opened_at", opened}, {"state", "1"}, {"priority", "4"}};
    json ritm = {{"short_description", t.ritmTitle}, {"description", t.ritmText}, {"cat_item", t.catItem},
                 {"quantity", "1"}, {"opened_by", callerSysId}, {"opened_at", opened}, {"state", "1"},
                 {"priority", "4"}, {"assignment_group", kGroupSysId}};
    json task = {{"short_description", t.taskTitle}, {"description", t.taskText}, {"opened_by", callerSysId},
                 {"opened_at", opened}, {"state", "1"}, {"priority", "4"}, {"assignment_group", kGroupSysId}};
    return {{"sc_request", req}, {"sc_req_item", ritm}, {"sc_task", task}};
}

std::vector<std::string> demoCallerSysIds() {
    std::vector<std::string> ids;
    for (const char* c : kCallers) ids.push_back(personId(c));
    return ids;
}

json builtinDataSet(std::chrono::system_clock::time_point nowClock) {
    const TimePoint now = util::toSeconds(nowClock);
    const TimePoint thisMonth = util::startOfMonth(now);
    const TimePoint lastMonth = util::startOfMonth(now, -1);
    const TimePoint twoMonthsAgo = util::startOfMonth(now, -2);
    const TimePoint created = twoMonthsAgo - days{400};

    json users = json::array();
    for (const auto& p : kPeople) {
        const std::string name = std::string(p.first) + " " + p.last;
        std::string userName = util::asciiLower(std::string(p.first) + "." + p.last);
        userName.erase(std::remove(userName.begin(), userName.end(), '\''), userName.end());
        users.push_back({{"sys_id", personId(p.key)}, {"user_name", userName}, {"first_name", p.first},
                         {"last_name", p.last}, {"name", name}, {"email", p.email}, {"title", p.title},
                         {"phone", ""}, {"active", p.active ? "true" : "false"},
                         {"sys_created_on", fmt(created)}});
    }
    users.push_back({{"sys_id", util::stableSysId("sys_user/admin")}, {"user_name", "admin"},
                     {"first_name", "System"}, {"last_name", "Administrator"}, {"name", "System Administrator"},
                     {"email", "admin@example.com"}, {"title", ""}, {"active", "true"}, {"sys_created_on", fmt(created)}});

    json groups = json::array({
        {{"sys_id", groupId("desk")}, {"name", kGroupName}, {"description", "First-line support for requests and incidents."},
         {"email", "it-support@example.com"}, {"manager", personId("samira")}, {"active", "true"}, {"sys_created_on", fmt(created)}},
        {{"sys_id", groupId("network")}, {"name", "Network Operations"}, {"description", "VPN, Wi-Fi and the data centre network."},
         {"email", "netops@example.com"}, {"manager", personId("ravi")}, {"active", "true"}, {"sys_created_on", fmt(created)}},
    });

    json members = json::array();
    for (const char* key : {"alex", "jordan", "priya", "sam", "samira", "chris", "taylor", "morgan"})
        members.push_back({{"sys_id", util::stableSysId(std::string("sys_user_grmember/desk/") + key)},
                           {"group", groupId("desk")}, {"user", personId(key)}, {"sys_created_on", fmt(created)}});
    for (const char* key : {"ravi", "jordan"})
        members.push_back({{"sys_id", util::stableSysId(std::string("sys_user_grmember/network/") + key)},
                           {"group", groupId("network")}, {"user", personId(key)}, {"sys_created_on", fmt(created)}});

    // Tasks, requested items and requests. Numbers follow the opening order, as on an instance.
    struct Built {
        json task;
        json ritm;  // null when none (or shared: only the first of a group carries it)
        json req;
        TimePoint opened;
    };
    std::vector<Built> built;
    std::map<int, std::pair<std::string, std::string>> sharedRitm;  // ritmGroup -> (ritm id, req id)
    for (std::size_t i = 0; i < kTasks.size(); ++i) {
        const TaskSpec& s = kTasks[i];
        const std::string caller = personId(kCallers[static_cast<std::size_t>(s.caller)]);
        TimePoint opened, closedAt{};
        if (s.closed == 0) {
            opened = now - seconds{static_cast<long long>(s.openedHoursAgo * 3600)};
        } else {
            const TimePoint from = s.closed == 1 ? thisMonth : s.closed == 2 ? lastMonth : twoMonthsAgo;
            const TimePoint to = s.closed == 1 ? now : s.closed == 2 ? thisMonth : lastMonth;
            closedAt = lerp(from, to, s.closedFrac);
            opened = closedAt - hours{20 + static_cast<long long>(i % 5) * 31};
        }
        const Template* t = s.tmpl >= 0 ? &kTemplates[static_cast<std::size_t>(s.tmpl)] : nullptr;
        const bool closed = s.closed != 0;
        Built b;
        b.opened = opened;
        b.task = {{"sys_id", util::stableSysId("sc_task/" + std::to_string(i))},
                  {"short_description", t ? t->taskTitle : (i % 2 ? "Restock loaner laptops" : "Update the VPN how-to article")},
                  {"description", t ? t->taskText
                                    : (i % 2 ? "Loaner shelf is down to two laptops.\nImage four more from the spare pool."
                                             : "The VPN client changed its sign-in screen.\nRefresh the screenshots and the steps.")},
                  {"state", s.state}, {"priority", s.priority},
                  {"assigned_to", *s.assignee ? personId(s.assignee) : ""},
                  {"assignment_group", groupId(s.group)},
                  {"opened_by", t ? caller : personId("samira")},
                  {"opened_at", fmt(opened)},
                  {"closed_at", closed ? fmt(closedAt) : ""},
                  {"closed_by", closed && *s.assignee ? personId(s.assignee) : ""},
                  {"u_resolution", closed ? kResolutions[i % kResolutions.size()] : ""},
                  {"sys_updated_on", fmt(closed ? closedAt : opened + minutes{5 + static_cast<long long>(i) * 7 % 50})}};
        if (i % 6 == 1)
            b.task["work_notes"] = json::array({{{"created_on", fmt(opened + minutes{30})},
                                                 {"created_by", personId("samira")},
                                                 {"value", "Checked with the caller; details confirmed."}}});
        if (i % 7 == 3)
            b.task["comments"] = json::array({{{"created_on", fmt(opened + minutes{45})},
                                               {"created_by", caller},
                                               {"value", "Any update on this? I need it by Friday."}}});
        if (t) {
            std::string ritmId, reqId;
            const bool reuse = s.ritmGroup && sharedRitm.count(s.ritmGroup);
            if (reuse) {
                std::tie(ritmId, reqId) = sharedRitm[s.ritmGroup];
                b.task["short_description"] = "Prepare laptop for new hire";
                b.task["description"] = "Image a standard laptop and leave it at reception\nwith the welcome pack.";
            } else {
                ritmId = util::stableSysId("sc_req_item/" + std::to_string(i));
                reqId = util::stableSysId("sc_request/" + std::to_string(i));
                if (s.ritmGroup) sharedRitm[s.ritmGroup] = {ritmId, reqId};
                const TimePoint reqOpened = opened - minutes{3 + static_cast<long long>(i % 4) * 11};
                b.req = {{"sys_id", reqId}, {"short_description", *t->ritmTitle ? t->ritmTitle : t->taskTitle},
                         {"requested_for", caller}, {"opened_by", caller}, {"opened_at", fmt(reqOpened)},
                         {"state", closed ? "5" : "1"}, {"priority", s.priority},
                         {"closed_at", closed ? fmt(closedAt) : ""}};
                b.ritm = {{"sys_id", ritmId}, {"request", reqId}, {"short_description", t->ritmTitle},
                          {"description", t->ritmText}, {"cat_item", t->catItem}, {"quantity", "1"},
                          {"opened_by", caller}, {"opened_at", fmt(reqOpened)},
                          {"state", closed ? "5" : s.state}, {"priority", s.priority},
                          {"assignment_group", groupId(s.group)},
                          {"assigned_to", *s.assignee ? personId(s.assignee) : ""},
                          {"closed_at", closed ? fmt(closedAt) : ""}};
            }
            b.task["request_item"] = ritmId;
            b.task["request"] = reqId;
        }
        built.push_back(std::move(b));
    }
    std::stable_sort(built.begin(), built.end(), [](const Built& a, const Built& b) { return a.opened < b.opened; });
    json tasks = json::array(), ritms = json::array(), reqs = json::array();
    int n = 0, nr = 0;
    char buf[32];
    for (auto& b : built) {
        std::snprintf(buf, sizeof buf, "SCTASK%07d", 10001 + n++);
        b.task["number"] = buf;
        tasks.push_back(b.task);
        if (!b.ritm.is_null()) {
            std::snprintf(buf, sizeof buf, "RITM%07d", 10001 + nr);
            b.ritm["number"] = buf;
            std::snprintf(buf, sizeof buf, "REQ%07d", 10001 + nr++);
            b.req["number"] = buf;
            ritms.push_back(b.ritm);
            reqs.push_back(b.req);
        }
    }

    struct IncidentSpec {
        const char* title;
        const char* text;
        const char* caller;
        const char* state;
        const char* priority;
        const char* assignee;
        const char* category;
        double hoursAgo;
    };
    const std::vector<IncidentSpec> incidents = {
        {"Email down for the whole Sales floor", "Outlook shows 'disconnected' since 09:10.\nWebmail works.", "marcus", "2", "1", "jordan", "software", 3},
        {"VPN drops every few minutes", "Several remote users report drops.\nStarted after last night's change.", "rafael", "1", "1", "", "network", 1.5},
        {"Printer on floor 2 jams", "Tray 2 jams on every duplex job.", "tom", "2", "3", "sam", "hardware", 28},
        {"Cannot open payroll report", "Error 'access denied' on the March report.", "hannah", "3", "2", "alex", "software", 50},
        {"Laptop battery swollen", "Battery bulging, case lifting.\nLaptop switched off and set aside.", "olivia", "6", "2", "priya", "hardware", 90},
        {"Wi-Fi slow in building B", "Speed test shows 2 Mbit/s near the kitchen.", "lena", "7", "4", "ravi", "network", 400},
    };
    json incs = json::array();
    int ni = 0;
    for (const auto& s : incidents) {
        const TimePoint opened = now - seconds{static_cast<long long>(s.hoursAgo * 3600)};
        const bool closed = std::string(s.state) == "7";
        std::snprintf(buf, sizeof buf, "INC%07d", 10001 + ni);
        incs.push_back({{"sys_id", util::stableSysId("incident/" + std::to_string(ni++))}, {"number", buf},
                        {"short_description", s.title}, {"description", s.text},
                        {"caller_id", personId(s.caller)}, {"opened_by", personId(s.caller)},
                        {"state", s.state}, {"priority", s.priority}, {"category", s.category},
                        {"assigned_to", *s.assignee ? personId(s.assignee) : ""},
                        {"assignment_group", groupId(std::string(s.category) == "network" ? "network" : "desk")},
                        {"opened_at", fmt(opened)}, {"closed_at", closed ? fmt(opened + hours{30}) : ""},
                        {"active", closed ? "false" : "true"}});
    }

    return {{"demo_user", kDemoUserSysId},
            {"tables", {{"sys_user", users}, {"sys_user_group", groups}, {"sys_user_grmember", members},
                        {"sc_request", reqs}, {"sc_req_item", ritms}, {"sc_task", tasks}, {"incident", incs}}}};
}

}  // namespace trayline::demo

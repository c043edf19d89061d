// GET /activity: the command that runs now, the jobs behind it, and the NetBird service's life.

#include "harness.hpp"
#include "inspect.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace test_support;
using json = nlohmann::json;

namespace {

json activity_of(staged_app& app) {
    const http_reply reply = app.client().get(API + "/activity");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    return document_of(reply);
}

TEST(activity, an_idle_daemon_reports_no_command_and_operator_restarts_count_only_by_cause) {
    staged_app app;
    app.start();
    ASSERT_TRUE(wait_for([&] { return activity_of(app)["service_running"] == true; }));
    const http_reply reply = app.client().get(API + "/activity");
    const json idle = json::parse(reply.body);
    EXPECT_EQ(reply.body.find('\n'), std::string::npos);
    // Members in ascending order, whatever values they hold.
    std::vector<std::string> names;
    for (const auto& [name, value] : idle.items()) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"command", "command_seconds", "lifecycle", "queued", "recent_restarts",
                                               "service_restarts", "service_running", "service_uptime_seconds"}));
    EXPECT_TRUE(idle["command"].is_null());
    EXPECT_EQ(idle["command_seconds"], 0);
    EXPECT_EQ(idle["queued"], 0);
    EXPECT_EQ(idle["service_restarts"], 0);
    const json no_restarts = {{"window_seconds", 3600}, {"operator", 0},      {"lost_management", 0},
                              {"hung_service", 0},      {"crash", 0},         {"start_failure", 0}};
    EXPECT_EQ(idle["recent_restarts"], no_restarts);
    EXPECT_TRUE(idle["service_uptime_seconds"].is_number_integer());

    // The uptime counts from the newest start; the operator's own restart is no watchdog restart,
    // but is counted by its cause, and so is the restart at the end of a reconnect.
    ASSERT_TRUE(wait_for([&] { return activity_of(app)["service_uptime_seconds"] >= 3; }));
    ASSERT_EQ(app.client().post(API + "/restart").status, 200);
    const json restarted = activity_of(app);
    EXPECT_EQ(restarted["service_running"], true);
    EXPECT_LT(restarted["service_uptime_seconds"], 3);
    EXPECT_EQ(restarted["service_restarts"], 0);
    EXPECT_EQ(restarted["recent_restarts"]["operator"], 1);
    ASSERT_EQ(app.client().post(API + "/up", UP_WITH_KEY).status, 200);
    ASSERT_EQ(app.client().post(API + "/reconnect").status, 200);
    const json reconnected = activity_of(app);
    EXPECT_EQ(reconnected["recent_restarts"]["operator"], 2);
    EXPECT_EQ(reconnected["lifecycle"]["last_restart_cause"], "operator");
    EXPECT_EQ(reconnected["service_restarts"], 0);
    EXPECT_EQ(app.stop(), 0);
}

TEST(activity, a_slow_command_shows_from_its_start_with_its_time_and_the_job_behind_it) {
    staged_app app;
    app.start();
    ASSERT_EQ(app.client().post(API + "/env", "name=NB_SIM_DELAY_MS&value=4000").status, 200);
    http_client first;
    http_client second;
    first.send_request("POST", API + "/down");
    ASSERT_TRUE(wait_for([&] { return !one_offs(app.netbird(), "down").empty(); }));
    // The first look after the client command started already names it.
    const json running = activity_of(app);
    EXPECT_EQ(running["command"], "down") << running.dump();
    EXPECT_EQ(running["queued"], 0);

    second.send_request("POST", API + "/deregister");
    EXPECT_TRUE(wait_for([&] { return activity_of(app)["queued"] == 1; }));
    EXPECT_TRUE(wait_for([&] { return activity_of(app)["command_seconds"] >= 1; }));
    EXPECT_EQ(activity_of(app)["command"], "down");

    EXPECT_EQ(first.read_reply().status, 200);
    EXPECT_TRUE(wait_for([&] { return activity_of(app)["command"] == "deregister"; }));
    EXPECT_EQ(activity_of(app)["queued"], 0);
    EXPECT_EQ(second.read_reply().status, 200);
    // The worker lets go of the job just after handing its answer over.
    EXPECT_TRUE(wait_for([&] { return activity_of(app)["command"].is_null(); }));
    EXPECT_EQ(activity_of(app)["command_seconds"], 0);
    EXPECT_EQ(app.stop(), 0);
}

TEST(activity, a_service_that_keeps_crashing_shows_its_restarts_by_cause) {
    staged_app app({.env = {{"NB_SIM_SERVICE_EXIT_AFTER_MS", "300"}}});
    app.start();
    EXPECT_TRUE(wait_for([&] { return activity_of(app)["service_restarts"] >= 2; }, 30s));
    // Exits this soon after a start are failures to start, counted as such in the window too.
    const json crashing = activity_of(app);
    EXPECT_EQ(crashing["recent_restarts"]["start_failure"], crashing["service_restarts"]) << crashing.dump();
    EXPECT_EQ(crashing["recent_restarts"]["operator"], 0);
    // Each life is short: never a steady uptime.
    EXPECT_LT(activity_of(app)["service_uptime_seconds"], 5);
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace

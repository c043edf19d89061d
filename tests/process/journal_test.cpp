// GET /journal and the freshness members of /status, as the daemon keeps them across its restarts.

#include "harness.hpp"
#include "inspect.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace test_support;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

json get_json(staged_app& app, const std::string& path) {
    const http_reply reply = app.client().get(API + path);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    return document_of(reply);
}

bool has_event(const json& journal, const std::string& kind, const std::string& detail) {
    for (const json& event : journal["events"])
        if (event["kind"] == kind && event["detail"] == detail) return true;
    return false;
}

// 600 events of the last hours behind one of 40 days ago.
void seed_journal(const fs::path& file) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    json events = json::array({{{"time", now - 40 * 86400}, {"kind", "connected"}, {"detail", "ancient"}}});
    for (int i = 0; i < 600; ++i)
        events.push_back({{"time", now - 3600 + i}, {"kind", "command"}, {"detail", "seed " + std::to_string(i)}});
    write_file(file, json{{"events", events}}.dump());
}

TEST(journal, is_bounded_answers_while_a_command_runs_and_outlives_the_daemon) {
    staged_app app;
    const fs::path file = app.data_dir() / "journal.json";
    fs::create_directories(app.data_dir());
    seed_journal(file);
    app.start();

    const json loaded = get_json(app, "/journal");
    ASSERT_EQ(loaded["events"].size(), 500U);
    EXPECT_FALSE(has_event(loaded, "command", "seed 100")) << "only the newest 500 stay";
    EXPECT_TRUE(has_event(loaded, "command", "seed 599"));
    EXPECT_TRUE(has_event(loaded, "daemon_started", ""));
    for (std::size_t i = 1; i < loaded["events"].size(); ++i)
        EXPECT_GE(loaded["events"][i - 1]["time"], loaded["events"][i]["time"]) << "newest first";

    ASSERT_TRUE(wait_for([&] { return get_json(app, "/status")["polled_at"].is_number(); }));
    // Every client command takes 2 s, the status poll too: the command's end is then seen before
    // the first snapshot taken after it.
    ASSERT_EQ(app.client().post(API + "/env", "name=NB_SIM_DELAY_MS&value=2000").status, 200);
    http_client commander;
    commander.send_request("POST", API + "/down");
    ASSERT_TRUE(wait_for([&] { return get_json(app, "/activity")["command"] == "down"; }));
    EXPECT_EQ(get_json(app, "/journal")["events"].size(), 500U);
    ASSERT_EQ(commander.read_reply().status, 200);
    const json after_command = get_json(app, "/status");
    EXPECT_EQ(after_command["command_ended_after_poll"], true) << after_command.dump();
    EXPECT_TRUE(after_command["polled_at"].is_number());
    EXPECT_GE(after_command["snapshot_age_seconds"], 0);
    EXPECT_TRUE(wait_for([&] { return get_json(app, "/status")["command_ended_after_poll"] == false; }));
    EXPECT_TRUE(has_event(get_json(app, "/journal"), "command", "down: done"));

    // Polls that see nothing new write nothing.
    ASSERT_EQ(app.client().post(API + "/env", "name=NB_SIM_DELAY_MS&value=").status, 200);
    const auto settled = [&] { return get_json(app, "/status")["snapshot_age_seconds"] == 0; };
    ASSERT_TRUE(wait_for(settled));
    const auto written = fs::last_write_time(file);
    const double polled_at = get_json(app, "/status")["polled_at"];
    ASSERT_TRUE(wait_for([&] { return get_json(app, "/status")["polled_at"] != polled_at; }));
    EXPECT_EQ(fs::last_write_time(file), written);

    EXPECT_EQ(app.stop(), 0);
    app.start();
    const json restarted = get_json(app, "/journal");
    EXPECT_TRUE(has_event(restarted, "command", "down: done"));
    EXPECT_TRUE(has_event(restarted, "daemon_stopped", ""));
    EXPECT_LE(restarted["events"].size(), 500U);
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace

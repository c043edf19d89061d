// The connection journal: what a status poll adds, its bounds, and the figures the page shows.

#include "journal.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

using namespace std::chrono_literals;
using time_point = connection_journal::time_point;

const time_point START{std::chrono::sys_days{std::chrono::year{2026} / 12 / 9}};

std::string status(const std::string& daemon_status, bool management, const std::string& error = "") {
    return json{{"daemonStatus", daemon_status},
                {"management", {{"connected", management}, {"error", error}}},
                {"netbirdIp", "100.90.1.2/16"}}
        .dump();
}

class journal_figures : public ::testing::Test {
protected:
    std::vector<std::optional<std::string>> saved;  // the file text of each save, in order
    // A save held back, as the writer thread's is while it works: later events wait for one next save.
    std::function<void(bool)> held;
    bool hold_saves = false;
    connection_journal journal{[this](std::optional<std::string> content, std::function<void(bool)> finished) {
        saved.push_back(std::move(content));
        if (hold_saves)
            held = std::move(finished);
        else
            finished(true);
    }};

    void poll(const std::string& text, time_point at, int exit_code = 0) {
        journal.observe_status({exit_code, text, ""}, at);
    }
    json document(time_point now) { return json::parse(journal.document(now)); }
    std::vector<std::string> kinds(time_point now) {
        std::vector<std::string> names;
        const json listed = document(now);
        for (const json& event : listed["events"]) names.push_back(event["kind"]);
        return names;
    }
};

TEST_F(journal_figures, polls_add_only_changes_of_state_and_name_a_lost_management_and_its_return) {
    poll(status("Connecting", false), START);
    poll(status("Connected", true), START + 5s);
    poll(status("Connected", true), START + 10s);  // no change: nothing recorded, nothing saved
    const std::size_t saves_when_settled = saved.size();
    poll(status("Connected", true), START + 15s);
    poll("Error: failed to connect to daemon", START + 20s, 1);
    EXPECT_EQ(saved.size(), saves_when_settled);

    poll(status("Connecting", false, "rpc error: code = Unavailable"), START + 25s);
    poll(status("Connected", true), START + 30s);
    poll(status("Idle", false), START + 35s);
    poll(status("NeedsLogin", false), START + 40s);
    EXPECT_EQ(kinds(START + 40s), (std::vector<std::string>{"logged_out", "disconnected", "management_restored",
                                                             "management_lost", "connected", "connecting"}));
    const json newest = document(START + 40s)["events"][0];
    EXPECT_EQ(newest["detail"], "NeedsLogin");
    EXPECT_EQ(newest["time"], std::chrono::duration_cast<std::chrono::seconds>((START + 40s).time_since_epoch()).count());

    // A service event starts the observation afresh: the same state seen again is news.
    journal.record("service_started", "", START + 45s);
    poll(status("NeedsLogin", false), START + 50s);
    EXPECT_EQ(kinds(START + 50s).front(), "logged_out");
}

TEST_F(journal_figures, availability_connected_since_and_drops_come_from_the_periods_up) {
    EXPECT_TRUE(document(START)["availability"]["day"].is_null());
    journal.record("daemon_started", "", START);
    poll(status("Connected", true), START + 1h);
    journal.record("command", "down: done", START + 2h);  // changes nothing by itself
    poll(status("Connected", false), START + 3h);           // management lost: a drop
    poll(status("Connected", true), START + 5h);
    const json now = document(START + 6h);
    EXPECT_DOUBLE_EQ(now["availability"]["day"].get<double>(), 3.0 / 6.0);
    EXPECT_DOUBLE_EQ(now["availability"]["week"].get<double>(), 3.0 / 6.0);
    EXPECT_EQ(now["connected_since"], now["events"][0]["time"]);
    EXPECT_EQ(now["events"][1]["drop"], true);
    EXPECT_FALSE(now["events"][0].contains("drop"));

    // The operator's Disconnect is no drop; once down, nothing is connected since.
    poll(status("Idle", false), START + 7h);
    const json later = document(START + 8h);
    EXPECT_FALSE(later["events"][0].contains("drop"));
    EXPECT_TRUE(later["connected_since"].is_null());
    EXPECT_DOUBLE_EQ(later["availability"]["day"].get<double>(), 4.0 / 8.0);
    // Past a day the day's window is full, the week's still covers all.
    const json next_day = document(START + 32h);
    EXPECT_DOUBLE_EQ(next_day["availability"]["day"].get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(next_day["availability"]["week"].get<double>(), 4.0 / 32.0);
}

TEST_F(journal_figures, keeps_the_newest_events_within_its_count_and_age_and_loads_what_it_saved) {
    hold_saves = true;
    for (int i = 0; i < 510; ++i) journal.record("command", "up: done", START + std::chrono::minutes(i));
    EXPECT_EQ(saved.size(), 1U);
    hold_saves = false;
    held(true);
    EXPECT_EQ(saved.size(), 2U) << "one save carries all events that came while the first was under way";
    json events = document(START + 510min)["events"];
    ASSERT_EQ(events.size(), connection_journal::MAX_EVENTS);
    EXPECT_EQ(events.back()["time"], std::chrono::duration_cast<std::chrono::seconds>(
                                         (START + 10min).time_since_epoch()).count());
    journal.record("start_failed", std::string(1000, 'x'), START + 31 * 24h);
    events = document(START + 31 * 24h)["events"];
    ASSERT_EQ(events.size(), 1U);  // the rest is older than the journal keeps
    EXPECT_EQ(events[0]["detail"].get<std::string>().size(), connection_journal::MAX_DETAIL_BYTES);

    // A fresh journal reads the saved file; entries that are not events are left out.
    json stored = json::parse(*saved.back());
    stored["events"].push_back({{"kind", "connected"}});
    stored["events"].push_back("garbage");
    connection_journal reloaded{[](auto, std::function<void(bool)> finished) { finished(true); }};
    reloaded.load(stored, START + 31 * 24h);
    EXPECT_EQ(reloaded.document(START + 31 * 24h), journal.document(START + 31 * 24h));
}

}  // namespace

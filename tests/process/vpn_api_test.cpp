// The VPN control endpoints and the status endpoint against the simulated NetBird client.

#include "harness.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <unistd.h>

using namespace test_support;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const std::string BUSY = R"({"exit_code":503,"ok":false,"output":"VPN service busy"})";

bool has_word(const json& invocation, const std::string& word) {
    const auto& argv = invocation["argv"];
    return std::find(argv.begin(), argv.end(), word) != argv.end();
}

// The value following flag on an invocation's command line; "" when the flag is missing.
std::string flag_value(const json& invocation, const std::string& flag) {
    const auto& argv = invocation["argv"];
    const auto it = std::find(argv.begin(), argv.end(), flag);
    return it == argv.end() || it + 1 == argv.end() ? "" : (it + 1)->get<std::string>();
}

// The simulator's NB_SIM_RECORD file: one line per invocation, in the order they started.
class invocation_record {
public:
    invocation_record() {
        char pattern[] = "/tmp/ovra-record-XXXXXX";
        ::close(::mkstemp(pattern));
        m_path = pattern;
    }
    ~invocation_record() {
        std::error_code ignored;
        fs::remove(m_path, ignored);
    }
    std::pair<std::string, std::string> env() const { return {"NB_SIM_RECORD", m_path.string()}; }

    // The invocations other than status polls, each tagged with its command word.
    std::vector<std::pair<std::string, json>> commands() const {
        std::vector<std::pair<std::string, json>> found;
        std::ifstream in(m_path);
        for (std::string line; std::getline(in, line);) {
            const json invocation = json::parse(line);
            for (const char* word : {"run", "up", "down", "deregister"})
                if (has_word(invocation, word)) found.emplace_back(word, invocation);
        }
        return found;
    }
    std::vector<json> of(const std::string& word) const {
        std::vector<json> found;
        for (auto& [command, invocation] : commands())
            if (command == word) found.push_back(invocation);
        return found;
    }
    std::vector<std::string> order() const {
        std::vector<std::string> words;
        for (const auto& entry : commands()) words.push_back(entry.first);
        return words;
    }

private:
    fs::path m_path;
};

std::string post_message(const std::string& path, const std::string& body) {
    return "POST " + API + path + " HTTP/1.1\r\nHost: localhost\r\n" +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::set<std::string> entries_of(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

bool holds_setup_key_file(const fs::path& dir) {
    const auto names = entries_of(dir);
    return std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.rfind("setup-key-", 0) == 0; });
}

// "app.json" as an object; empty while the file is missing.
json stored_settings(const staged_app& app) {
    const json settings = json::parse(read_file(app.data_dir() / "app.json"), nullptr, false);
    return settings.is_object() ? settings : json::object();
}

json status_of(staged_app& app) { return json::parse(app.client().get(API + "/status").body); }

void register_device(staged_app& app, const std::string& form = "setup_key=F1257000-0000-4000-8000-000000000001") {
    const auto reply = app.client().post(API + "/up", form);
    ASSERT_EQ(reply.status, 200);
    ASSERT_EQ(json::parse(reply.body)["output"], "Connected\n") << reply.body;
}

TEST(vpn_api_process, nine_commands_wait_behind_a_slow_one_and_the_tenth_is_refused_at_once) {
    invocation_record record;
    staged_app app({.env = {{"NB_SIM_DELAY_MS", "1500"}, record.env()}});
    app.start();
    // A registered camera that is down, whose ups then fail at once: each job runs NetBird's up.
    register_device(app);
    ASSERT_EQ(json::parse(app.client().post(API + "/down").body)["exit_code"], 0);
    ASSERT_EQ(app.client().post(API + "/env", "name=NB_SIM_UP_FAIL&value=1").status, 200);

    // Each "/up" stores its own MTU, which tells the accepted jobs apart in the record.
    std::vector<std::unique_ptr<http_client>> waiting;
    for (int i = 1; i <= 9; ++i) {
        const int mtu = 1300 + i;
        waiting.push_back(std::make_unique<http_client>());
        waiting.back()->send_raw(post_message("/up", "mtu=" + std::to_string(mtu)));
        ASSERT_TRUE(wait_for([&] { return stored_settings(app).value("mtu", 0) == mtu; })) << mtu;
    }

    const auto refused = app.client().post(API + "/up", "setup_key=0E7E2000-0000-4000-8000-000000000003");
    EXPECT_LT(record.of("up").size(), 9u) << "refused only once the queue had drained";
    EXPECT_EQ(refused.status_line, "503 Service Unavailable");
    EXPECT_EQ(refused.body, BUSY);
    EXPECT_EQ(refused.header("Cache-Control"), "");
    EXPECT_FALSE(holds_setup_key_file(app.data_dir()));

    for (auto& client : waiting) {
        const auto reply = client->read_reply();
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(json::parse(reply.body)["exit_code"], 1) << "up fails on purpose: " << reply.body;
    }
    const auto ups = record.of("up");
    ASSERT_EQ(ups.size(), 10u);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(flag_value(ups[i + 1], "--mtu"), std::to_string(1301 + i));
}

TEST(vpn_api_process, setup_key_is_staged_privately_for_up_and_never_logged) {
    const std::string key = "{A0B5EC2E-7000-4000-8000-000000005566}";
    invocation_record record;
    syslog_capture syslog;
    staged_app app({.env = {record.env()}});
    app.start();

    const auto reply = app.client().post(
        API + "/up", "setup_key=%7BA0B5EC2E-7000-4000-8000-000000005566%7D&management_url=https%3A%2F%2Fmgmt.example.test%3A443");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"exit_code":0,"ok":true,"output":"Connected\n"})");
    EXPECT_EQ(reply.header("Cache-Control"), "");

    const auto ups = record.of("up");
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(ups[0]["key_file_mode"], "0600");
    EXPECT_EQ(ups[0]["key_file_content"], key);
    EXPECT_EQ(flag_value(ups[0], "--management-url"), "https://mgmt.example.test:443");
    const fs::path key_file = flag_value(ups[0], "--setup-key-file");
    EXPECT_EQ(key_file.parent_path(), app.data_dir());
    EXPECT_EQ(key_file.filename().string().rfind("setup-key-", 0), 0u);
    EXPECT_FALSE(fs::exists(key_file));

    const json settings = stored_settings(app);
    EXPECT_EQ(settings["management_url"], "https://mgmt.example.test:443");
    EXPECT_FALSE(settings.contains("setup_key"));
    EXPECT_EQ(status_of(app)["registered"], true);

    for (const std::string& text : {app.app_log(), app.netbird_log(), app.console()})
        EXPECT_EQ(text.find(key), std::string::npos);
    for (const std::string& line : syslog.lines()) EXPECT_EQ(line.find(key), std::string::npos) << line;
}

TEST(vpn_api_process, deregister_resets_the_data_directory_and_starts_the_service_again) {
    invocation_record record;
    staged_app app({.env = {record.env()}});
    const std::string overrides = "{\n  \"NB_LOG_LEVEL\": \"debug\"\n}\n";
    fs::create_directories(app.data_dir() / "leftover" / "inner");
    write_file(app.data_dir() / "env.json", overrides);
    write_file(app.data_dir() / "notes.txt", "anything");
    app.start();
    register_device(app, "setup_key=F1257000-0000-4000-8000-000000000001&mtu=1400");

    const auto reply = app.client().post(API + "/deregister");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"exit_code":0,"ok":true,"output":"Deregistered successfully\n"})");
    ASSERT_TRUE(wait_for([&] { return fs::exists(app.data_dir() / "config.json"); }));
    EXPECT_EQ(status_of(app)["registered"], false) << "a new config.json is no registration";

    // The fresh service writes its socket, log and new config.json again at once; nothing else
    // may be there.
    auto remaining = entries_of(app.data_dir());
    remaining.erase("netbird.sock");
    remaining.erase("client.log");
    remaining.erase("config.json");
    remaining.erase("journal.json.tmp");  // the journal's save of the deregistration, if not done yet
    EXPECT_EQ(remaining, (std::set<std::string>{"env.json", "journal.json", "logs", "registration.json"}));
    EXPECT_EQ(read_file(app.data_dir() / "registration.json"), "{\n  \"registered\": false\n}\n");
    EXPECT_EQ(read_file(app.data_dir() / "env.json"), overrides);
    EXPECT_EQ(read_file(app.data_dir() / "client.log").find("successfully registered"), std::string::npos);

    ASSERT_TRUE(wait_for([&] { return record.of("run").size() == 2; }));
    EXPECT_NE(record.of("run")[0]["pid"], record.of("run")[1]["pid"]);
    ASSERT_TRUE(wait_for([&] {
        const json status = status_of(app);
        return status["exit_code"] == 0 && status["status"]["daemonStatus"] == "NeedsLogin";
    }));
    EXPECT_EQ(status_of(app)["registered"], false);

    // The settings are gone from memory too: the next up runs with the default MTU.
    register_device(app, "setup_key=5EC0D000-0000-4000-8000-000000000002");
    EXPECT_EQ(flag_value(record.of("up").back(), "--mtu"), "1280");
}

TEST(vpn_api_process, reconnect_runs_down_and_up_as_one_job_then_restarts_the_service) {
    invocation_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    register_device(app);

    const auto reply = app.client().post(API + "/reconnect", "enable_lazy_connection=true&setup_key=ignored&mtu=1500");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"exit_code":0,"ok":true,"output":"Connected\n"})");
    EXPECT_EQ(reply.header("Cache-Control"), "");

    ASSERT_TRUE(wait_for([&] { return record.of("run").size() == 2; }));
    EXPECT_EQ(record.order(), (std::vector<std::string>{"run", "up", "down", "up", "run"}));
    const json up = record.of("up").back();
    EXPECT_TRUE(has_word(up, "--enable-lazy-connection=true"));
    EXPECT_EQ(flag_value(up, "--setup-key-file"), "");
    EXPECT_EQ(flag_value(up, "--mtu"), "1280") << "reconnect stores nothing from its form";
    EXPECT_FALSE(fs::exists(app.data_dir() / "app.json"));
}

TEST(vpn_api_process, a_client_that_leaves_gets_no_answer_but_the_reset_still_happens) {
    invocation_record record;
    staged_app app({.env = {{"NB_SIM_DELAY_MS", "1000"}, record.env()}});
    app.start();
    register_device(app, "setup_key=F1257000-0000-4000-8000-000000000001&mtu=1400");

    http_client leaving;
    leaving.send_raw(post_message("/deregister", ""));
    leaving.disconnect();

    EXPECT_TRUE(wait_for([&] { return !fs::exists(app.data_dir() / "app.json"); }));
    EXPECT_TRUE(wait_for([&] { return record.of("run").size() == 2; }));
    EXPECT_EQ(status_of(app)["registered"], false);
}

bool daemon_status_is(staged_app& app, const std::string& state) {
    const json status = status_of(app);
    return status["exit_code"] == 0 && status["status"]["daemonStatus"] == state;
}

TEST(vpn_api_process, a_fresh_camera_is_not_registered_and_up_without_a_key_is_refused_at_once) {
    invocation_record record;
    staged_app app({.env = {record.env()}});
    app.start();

    // Asked before the client has answered a poll as well as after.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto refused = app.client().post(API + "/up", "setup_key=&mtu=1400&enable_lazy_connection=true");
        EXPECT_EQ(refused.status_line, "400 Bad Request");
        const json answer = json::parse(refused.body);
        EXPECT_EQ(answer["ok"], false);
        EXPECT_NE(answer["error"].get<std::string>().find("setup key is needed"), std::string::npos) << refused.body;
        EXPECT_EQ(answer["output"], answer["error"]);
        ASSERT_TRUE(wait_for([&] { return daemon_status_is(app, "NeedsLogin"); }));
    }
    EXPECT_TRUE(record.of("up").empty());
    EXPECT_FALSE(fs::exists(app.data_dir() / "app.json")) << "a refused up stores nothing";
    EXPECT_TRUE(fs::exists(app.data_dir() / "config.json")) << "the service made one";
    EXPECT_EQ(status_of(app)["registered"], false);

    // With a key it registers, and the camera reads as registered at once.
    register_device(app);
    EXPECT_EQ(status_of(app)["registered"], true);
}

TEST(vpn_api_process, up_while_connected_applies_only_pending_changes_and_says_what_it_did) {
    invocation_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    register_device(app);

    const auto unchanged = app.client().post(API + "/up", "enable_lazy_connection=false");
    EXPECT_EQ(unchanged.body, R"({"exit_code":0,"ok":true,"output":"Already connected\n"})");
    EXPECT_EQ(record.order(), (std::vector<std::string>{"run", "up", "up"}));

    // Another management server without a key would strand the registered camera: refused, nothing runs.
    const auto moved = app.client().post(API + "/up", "management_url=https%3A%2F%2Fother.example.test%3A443");
    EXPECT_EQ(moved.status, 400);
    EXPECT_NE(moved.body.find("A setup key is needed to change the management server"), std::string::npos);
    EXPECT_EQ(record.order().size(), 3u);

    // A tunnel setting changed through the settings API, then another given with up.
    ASSERT_EQ(app.client().post(API + "/config", "name=mtu&value=1400").status, 200);
    EXPECT_EQ(status_of(app)["pending_reconnect"], true);
    const std::string changes[] = {"", "interface_name=wt5"};
    for (const std::string& form : changes) {
        const auto applied = app.client().post(API + "/up", form);
        const json answer = json::parse(applied.body);
        EXPECT_EQ(answer["ok"], true) << applied.body;
        const std::string output = answer["output"];
        EXPECT_EQ(output.rfind("Already connected; applying the changed settings", 0), 0u) << output;
        EXPECT_NE(output.find("Disconnected\n"), std::string::npos) << output;
        EXPECT_TRUE(output.ends_with("Connected\n")) << output;
        const auto order = record.order();
        EXPECT_EQ(std::vector<std::string>(order.end() - 3, order.end()), (std::vector<std::string>{"up", "down", "up"}));
        EXPECT_EQ(status_of(app)["pending_reconnect"], false) << form;
    }
    const json last = record.of("up").back();
    EXPECT_EQ(flag_value(last, "--mtu"), "1400");
    EXPECT_EQ(flag_value(last, "--interface-name"), "wt5");
    EXPECT_EQ(record.of("down").size(), 2u);
}

TEST(vpn_api_process, only_an_up_with_the_latest_settings_settles_a_pending_reconnect) {
    invocation_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    register_device(app);
    ASSERT_EQ(app.client().post(API + "/env", "name=NB_SIM_DELAY_MS&value=1000").status, 200);
    ASSERT_EQ(app.client().post(API + "/config", "name=mtu&value=1400").status, 200);

    // The MTU changes again while the up for 1400 runs.
    http_client upper;
    upper.send_raw(post_message("/up", ""));
    ASSERT_TRUE(wait_for([&] { return record.of("up").size() == 2; }));
    ASSERT_EQ(app.client().post(API + "/config", "name=mtu&value=1500").status, 200);
    const auto ran = upper.read_reply();
    EXPECT_EQ(json::parse(ran.body)["ok"], true) << ran.body;
    EXPECT_EQ(flag_value(record.of("up").back(), "--mtu"), "1400");
    EXPECT_EQ(status_of(app)["pending_reconnect"], true);

    const auto latest = app.client().post(API + "/up");
    EXPECT_EQ(json::parse(latest.body)["ok"], true) << latest.body;
    EXPECT_EQ(flag_value(record.of("up").back(), "--mtu"), "1500");
    EXPECT_EQ(status_of(app)["pending_reconnect"], false);
}

TEST(vpn_api_process, a_key_and_settings_sent_right_after_a_deregistration_survive_it) {
    invocation_record record;
    staged_app app({.env = {{"NB_SIM_DELAY_MS", "1000"}, record.env()}});
    app.start();
    register_device(app, "setup_key=F1257000-0000-4000-8000-000000000001&mtu=1400&interface_name=wt7");

    http_client deregistering;
    deregistering.send_raw(post_message("/deregister", ""));
    ASSERT_TRUE(wait_for([&] { return record.of("deregister").size() == 1; }));
    EXPECT_EQ(status_of(app)["registered"], false) << "the deregistration is under way";
    http_client registering;
    registering.send_raw(post_message("/up", "setup_key=5EC0D000-0000-4000-8000-000000000002&mtu=1380"));

    EXPECT_EQ(json::parse(deregistering.read_reply().body)["ok"], true);
    const auto reply = registering.read_reply();
    EXPECT_EQ(json::parse(reply.body)["output"], "Connected\n") << reply.body;
    const json up = record.of("up").back();
    EXPECT_EQ(up["key_file_content"], "5EC0D000-0000-4000-8000-000000000002");
    EXPECT_EQ(flag_value(up, "--mtu"), "1380");
    EXPECT_EQ(flag_value(up, "--interface-name"), "wt0") << "the settings from before the deregistration are gone";
    EXPECT_EQ(stored_settings(app), (json{{"mtu", 1380}}));
    EXPECT_EQ(record.of("run").size(), 2u);
    EXPECT_FALSE(holds_setup_key_file(app.data_dir()));
    EXPECT_EQ(status_of(app)["registered"], true);
    EXPECT_TRUE(wait_for([&] { return read_file(app.data_dir() / "registration.json") == "{\n  \"registered\": true\n}\n"; }))
        << "the registration is kept for the next start";
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// One lifecycle second of 100 ms: a watchdog timeout of 30 s takes 3 s, a poll period half a second.
const std::pair<std::string, std::string> SHORT_SECONDS{"OVRA_TEST_SECOND_MS", "100"};
constexpr auto SHORT_TIMEOUT = 3s;

TEST(vpn_api_lifecycle, a_camera_that_needs_a_login_is_not_restarted_and_remembers_it) {
    staged_app app({.env = {SHORT_SECONDS}});
    // The first run leaves the unregistered config.json its service created, as after a reboot.
    app.start();
    ASSERT_TRUE(wait_for([&] { return daemon_status_is(app, "NeedsLogin"); }));
    ASSERT_EQ(app.stop(), 0);
    EXPECT_EQ(read_file(app.data_dir() / "registration.json"), "{\n  \"registered\": false\n}\n");
    write_file(app.data_dir() / "app.json", R"({"watchdog_timeout": 30})");
    app.start();

    ASSERT_TRUE(wait_for([&] { return daemon_status_is(app, "NeedsLogin"); }));
    EXPECT_EQ(status_of(app)["registered"], false);
    EXPECT_EQ(app.client().post(API + "/up").status, 400);
    std::this_thread::sleep_for(2 * SHORT_TIMEOUT + 1s);

    const std::string log = app.app_log();
    EXPECT_EQ(count_of(log, "VPN service started"), 2u) << log;
    EXPECT_EQ(count_of(log, "VPN connectivity"), 0u) << log;
    EXPECT_EQ(count_of(log, "VPN client reports NeedsLogin"), 0u) << "remembered from the first run: " << log;
}

TEST(vpn_api_lifecycle, a_management_outage_with_peers_connected_never_cuts_the_tunnel) {
    staged_app app({.env = {SHORT_SECONDS}});
    write_file(app.data_dir() / "app.json", R"({"watchdog_timeout": 30})");
    app.start();
    register_device(app);
    // The one-off status reads the switch on every call: no service restart needed.
    ASSERT_EQ(app.client().post(API + "/env", "name=NB_SIM_MANAGEMENT_DOWN&value=1").status, 200);
    ASSERT_TRUE(wait_for([&] { return status_of(app)["status"]["management"]["connected"] == false; }));
    std::this_thread::sleep_for(3 * SHORT_TIMEOUT + 1s);

    const std::string log = app.app_log();
    EXPECT_EQ(count_of(log, "VPN service started"), 1u) << log;
    EXPECT_EQ(count_of(log, "peer(s) stay connected: no restart"), 1u) << log;
    const json status = status_of(app);
    EXPECT_EQ(status["status"]["daemonStatus"], "Connected");
    EXPECT_EQ(status["lifecycle"]["state"], "running");
}

TEST(vpn_api_lifecycle, a_service_that_cannot_start_is_retried_with_back_off_and_its_fatal_line_shown) {
    staged_app app({.env = {SHORT_SECONDS}});
    write_file(app.data_dir() / "config.json", "");  // as a power cut can leave it
    app.start();
    const auto starts = [&] { return count_of(app.app_log(), "VPN service started"); };
    ASSERT_TRUE(wait_for([&] { return starts() >= 3; }, 20s)) << app.app_log();

    const json lifecycle = status_of(app)["lifecycle"];
    EXPECT_EQ(lifecycle["last_restart_cause"], "start_failure") << lifecycle;
    const json activity = json::parse(app.client().get(API + "/activity").body)["lifecycle"];
    for (const json& shown : {lifecycle, activity})
        EXPECT_NE(shown["last_fatal"]["line"].get<std::string>().find("failed to start daemon: failed to get config"),
                  std::string::npos)
            << shown;
    const std::string log = app.app_log();
    for (const char* wait : {"tried again in 5 s", "tried again in 10 s"})
        EXPECT_EQ(count_of(log, wait), 1u) << log;
    EXPECT_EQ(read_file(app.data_dir() / "config.json"), "") << "the damaged file is the operator's to mend";
}

TEST(vpn_api_lifecycle, the_wish_down_outlasts_restarts_and_reconnects) {
    invocation_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    register_device(app);
    ASSERT_EQ(json::parse(app.client().post(API + "/down").body)["ok"], true);
    ASSERT_EQ(app.client().post(API + "/restart").status, 200);
    ASSERT_TRUE(wait_for([&] { return record.of("down").size() == 2; })) << "a down follows the new service";
    ASSERT_TRUE(wait_for([&] { return daemon_status_is(app, "Idle"); }));
    EXPECT_EQ(status_of(app)["lifecycle"]["wish"], "down");

    ASSERT_EQ(json::parse(app.client().post(API + "/reconnect").body)["ok"], true);
    ASSERT_TRUE(wait_for([&] { return record.of("down").size() == 4; }));
    ASSERT_TRUE(wait_for([&] { return daemon_status_is(app, "Idle"); }));
    ASSERT_EQ(json::parse(app.client().post(API + "/up").body)["ok"], true);
    EXPECT_EQ(status_of(app)["lifecycle"]["wish"], "up");
}

TEST(vpn_api_lifecycle, a_failed_deregistration_keeps_the_camera_unless_forced) {
    staged_app app;
    app.start();
    register_device(app, "setup_key=F1257000-0000-4000-8000-000000000001&mtu=1400");
    // The service reads the switch at its start.
    ASSERT_EQ(app.client().post(API + "/env", "name=NB_SIM_MANAGEMENT_DOWN&value=1").status, 200);
    ASSERT_EQ(app.client().post(API + "/restart").status, 200);
    const std::string config = read_file(app.data_dir() / "config.json");

    const json failed = json::parse(app.client().post(API + "/deregister").body);
    EXPECT_EQ(failed["ok"], false);
    EXPECT_NE(failed["output"].get<std::string>().find("failed to send logout request"), std::string::npos) << failed;
    EXPECT_EQ(read_file(app.data_dir() / "config.json"), config);
    EXPECT_EQ(status_of(app)["registered"], true);
    ASSERT_TRUE(wait_for([&] { return stored_settings(app) == json{{"mtu", 1400}}; })) << "the settings come back";

    const json forced = json::parse(app.client().post(API + "/deregister", "force=true").body);
    EXPECT_NE(forced["output"].get<std::string>().find("Remove its peer in the NetBird dashboard"), std::string::npos);
    ASSERT_TRUE(wait_for([&] { return read_file(app.data_dir() / "config.json") != config; }));
    EXPECT_EQ(status_of(app)["registered"], false);
}

TEST(vpn_api_process, without_the_client_status_reports_the_runner_error_and_restart_finds_nothing_running) {
    staged_app app({.with_netbird = false, .env = {}});
    app.start();

    ASSERT_TRUE(wait_for([&] { return status_of(app)["exit_code"] == 127; }));
    const auto status = app.client().get(API + "/status");
    EXPECT_EQ(status.header("Cache-Control"), "no-store");
    EXPECT_EQ(json::parse(status.body)["output"], "VPN CLI not found");

    const auto restart = app.client().post(API + "/restart");
    EXPECT_EQ(restart.status, 200);
    EXPECT_EQ(restart.body, R"({"running":false})");
    EXPECT_EQ(restart.header("Cache-Control"), "no-store");
}

// The build states each version once: the package's manifest, the daemon and the client it runs agree.
TEST(vpn_api_process, status_names_the_versions_of_the_package_manifest_and_of_the_client_it_runs) {
    staged_app app;
    app.start();
    json status;
    ASSERT_TRUE(wait_for([&] { return (status = status_of(app)).contains("status"); })) << status;
    const json manifest = json::parse(read_file(PACKAGE_MANIFEST));
    EXPECT_EQ(status["app_version"], manifest["acapPackageConf"]["setup"]["version"]);
    EXPECT_EQ(status["netbird_version"], status["status"]["daemonVersion"]);
}

}  // namespace

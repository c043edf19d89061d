// The settings store: loading with its clean-ups, the values the table gives stored settings, the
// file format, and saves that survive being killed at any moment.

#include "application_test_access.hpp"
#include "harness.hpp"
#include "json_utils.hpp"
#include "netbird_utils.hpp"
#include "settings_files.hpp"
#include "settings_table.hpp"
#include "vpn_api.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using nlohmann::json;
using test_support::read_file;
using test_support::write_file;
using test_access = application_test_access;
namespace fs = std::filesystem;

namespace {

// Routes the default logger into memory for the life of the capture.
class log_capture {
public:
    log_capture() : m_previous(spdlog::default_logger()) {
        auto logger = std::make_shared<spdlog::logger>("capture", m_sink);
        logger->set_pattern("[%L] %v");
        spdlog::set_default_logger(logger);
    }
    ~log_capture() { spdlog::set_default_logger(m_previous); }
    std::vector<std::string> lines() const { return m_sink->last_formatted(); }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> m_sink =
        std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64);
    std::shared_ptr<spdlog::logger> m_previous;
};

class settings_store : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ovra-settings-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_app = std::make_unique<application>("ovra_vpn", m_dir);
        fs::create_directories(data_dir());
    }
    void TearDown() override {
        m_app.reset();
        fs::remove_all(m_dir);
    }

    fs::path data_dir() const { return m_dir / "localdata"; }
    fs::path app_json() const { return data_dir() / "app.json"; }
    fs::path env_json() const { return data_dir() / "env.json"; }

    application& load_app_json(std::string_view content) {
        write_file(app_json(), content);
        test_access::load_state(*m_app);
        return *m_app;
    }

    // The MTU the settings document shows after loading.
    int loaded_mtu() const { return json::parse(test_access::build_config_json(*m_app)).at("mtu").get<int>(); }

    fs::path m_dir;
    std::unique_ptr<application> m_app;
};

TEST_F(settings_store, without_files_every_setting_has_its_default_and_nothing_is_created) {
    test_access::load_state(*m_app);
    EXPECT_EQ(test_access::build_config_json(*m_app),
              R"({"external_ip_map":"","interface_name":"wt0","log_level":"info","log_retention_days":30,)"
              R"("management_url":"","mtu":1280,"watchdog_enabled":true,"watchdog_timeout":300,)"
              R"("wireguard_port":51820})");
    EXPECT_TRUE(fs::is_empty(data_dir()));
}

TEST_F(settings_store, usable_stored_values_are_what_the_system_runs_with) {
    const application& app = load_app_json(
        R"({"management_url":"https://m.example","watchdog_enabled":false,"watchdog_timeout":100000,)"
        R"("log_retention_days":7,"log_level":"debug","wireguard_port":65535,)"
        R"("external_ip_map":"203.0.113.5/lo,198.51.100.7","mtu":576,"interface_name":"tun-1_x","other":[1]})");
    EXPECT_EQ(test_access::build_config_json(app),
              R"({"external_ip_map":"203.0.113.5/lo,198.51.100.7","interface_name":"tun-1_x","log_level":"debug",)"
              R"("log_retention_days":7,"management_url":"https://m.example","mtu":576,)"
              R"("watchdog_enabled":false,"watchdog_timeout":100000,"wireguard_port":65535})");
}

TEST_F(settings_store, unusable_stored_values_fall_back_to_the_defaults) {
    const application& app = load_app_json(
        R"({"management_url":5,"watchdog_enabled":"false","watchdog_timeout":29,"log_retention_days":"7",)"
        R"("log_level":"warn","wireguard_port":0,"external_ip_map":["1.2.3.4"],"mtu":1400.0,)"
        R"("interface_name":"abcdefghijklmnop"})");
    EXPECT_EQ(test_access::build_config_json(app),
              R"({"external_ip_map":"","interface_name":"wt0","log_level":"info","log_retention_days":30,)"
              R"("management_url":"","mtu":1280,"watchdog_enabled":true,"watchdog_timeout":300,)"
              R"("wireguard_port":51820})");
}

// A map NetBird refuses would fail every up, whether it came by hand or through the up form.
// Only the map's form is checked on reading: one naming an interface that is missing for a moment
// stays the stored map, and `up` then leaves it out instead of clearing the client's.
TEST(settings_table, an_external_ip_map_is_used_as_stored_unless_malformed) {
    for (const char* map : {"bad map!", "1.2.3.4,,5.6.7.8", "lo/1.2.3.4", "1.2.3.4/a:b"})
        EXPECT_EQ(settings_table::text_value(json{{"external_ip_map", map}}, "external_ip_map"), "") << map;
    const json missing{{"external_ip_map", "1.2.3.4/no-such-if9,5.6.7.8/lo"}};
    EXPECT_EQ(settings_table::text_value(missing, "external_ip_map"), "1.2.3.4/no-such-if9,5.6.7.8/lo");
    EXPECT_EQ(settings_table::missing_map_interfaces(missing), std::vector<std::string>{"no-such-if9"});
    const auto args = settings_table::up_args(missing, settings_table::reach::tunnel);
    EXPECT_EQ(std::find(args.begin(), args.end(), "--external-ip-map"), args.end());
    // Submitted, a map must name interfaces NetBird's engine would use: lo is one it ignores.
    const settings_table::descriptor& map = *settings_table::find("external_ip_map");
    for (const char* submitted : {"1.2.3.4/no-such-if9", "1.2.3.4/lo"})
        EXPECT_TRUE(settings_table::refusal(map, submitted).has_value()) << submitted;
    EXPECT_EQ(settings_table::refusal(map, "1.2.3.4/10.0.0.1"), std::nullopt);
}

TEST(settings_table, integers_need_integer_json_and_32_bits_before_their_range_rules) {
    const auto integer = [](std::string_view stored, settings_table::name_of<settings_table::kind::integer> name) {
        return settings_table::integer_value(json::parse(stored), name);
    };
    // Cut to 32 bits, these would wrap to the valid port 1 and the valid MTU 1400.
    EXPECT_EQ(integer(R"({"wireguard_port":4294967297})", "wireguard_port"), 51820);
    EXPECT_EQ(integer(R"({"mtu":4294968696})", "mtu"), 1280);
    EXPECT_EQ(integer(R"({"watchdog_timeout":3000000000})", "watchdog_timeout"), 300);
    EXPECT_EQ(integer(R"({"watchdog_timeout":30})", "watchdog_timeout"), 30);
    EXPECT_EQ(integer(R"({"mtu":"1400"})", "mtu"), 1280);
    EXPECT_EQ(integer(R"({"mtu":14e2})", "mtu"), 1280);
    EXPECT_EQ(integer(R"({"mtu":1400})", "mtu"), 1400);
    EXPECT_EQ(integer("[1400]", "mtu"), 1280);
}

TEST(settings_table, retention_clamps_any_integer_into_one_to_365_days) {
    const std::pair<const char*, int> cases[] = {
        {"0", 1},    {"-5", 1},   {"1000", 365}, {"99999999999", 365}, {"-99999999999", 1},
        {"18446744073709551615", 365}, {"7.0", 30}, {"\"7\"", 30}, {"null", 30}, {"12", 12},
    };
    for (const auto& [stored, days] : cases)
        EXPECT_EQ(settings_table::integer_value(json::parse(std::string(R"({"log_retention_days":)") + stored + "}"),
                                                "log_retention_days"),
                  days)
            << stored;
    EXPECT_EQ(settings_table::integer_value(json::array(), "log_retention_days"), 30);
    EXPECT_EQ(settings_table::text_value(json{{"log_level", "critical"}}, "log_level"), "critical");
    EXPECT_EQ(settings_table::text_value(json{{"log_level", "Info"}}, "log_level"), "info");
    EXPECT_EQ(settings_table::text_value(json("debug"), "log_level"), "info");
}

// A damaged file is kept aside for the operator (the latest one), so the next save loses nothing.
TEST_F(settings_store, damaged_files_are_kept_aside_with_a_warning_and_the_start_goes_on) {
    for (const char* content : {"", "{", "[1,2]", "\"text\"", "{} trailing", "{/* note */}", "{\"a\":1,}",
                                "{\"NB_A\":\"\xff\"}"}) {
        write_file(app_json(), content);
        write_file(env_json(), content);
        EXPECT_EQ(settings_files::read_json_file(app_json()), json::object()) << content;
        log_capture log;
        test_access::load_state(*m_app);
        EXPECT_EQ(loaded_mtu(), 1280);
        EXPECT_FALSE(fs::exists(app_json()));
        EXPECT_EQ(read_file(data_dir() / "app.json.bad"), content);
        EXPECT_EQ(read_file(data_dir() / "env.json.bad"), content);
        EXPECT_EQ(log.lines().size(), 2U);
        for (const std::string& line : log.lines())
            EXPECT_TRUE(line.starts_with("[W] Settings file " + data_dir().string())) << line;
    }
    EXPECT_EQ(settings_files::read_json_file(data_dir()), json::object());
}

TEST_F(settings_store, files_are_sorted_indented_by_two_and_end_in_a_newline) {
    settings_files::write_json_file(app_json(), json{{"watchdog_enabled", false}, {"mtu", 1400}});
    EXPECT_EQ(read_file(app_json()), "{\n  \"mtu\": 1400,\n  \"watchdog_enabled\": false\n}\n");

    const json value{{"b", "\xC3\xA4"}, {"a", "x\xFFy"}, {"Z", json{{"n", json::array({1, 2})}}}, {"e", json::object()}};
    settings_files::write_json_file(app_json(), value);
    EXPECT_EQ(read_file(app_json()),
              "{\n  \"Z\": {\n    \"n\": [\n      1,\n      2\n    ]\n  },\n  \"a\": \"x\xEF\xBF\xBDy\",\n"
              "  \"b\": \"\xC3\xA4\",\n  \"e\": {}\n}\n");
}

TEST_F(settings_store, load_removes_reserved_overrides_and_rewrites_only_then) {
    write_file(env_json(), R"({"NB_MTU":"1400","NB_FOO":"x","NB_BAR":5,"nb_lower":"kept"})");
    test_access::load_state(*m_app);
    EXPECT_EQ(read_file(env_json()), "{\n  \"NB_FOO\": \"x\",\n  \"nb_lower\": \"kept\"\n}\n");

    const std::string untouched = R"({"NB_FOO":"x","NB_BAR":5,"WT_FORCE_RELAY":"true","NB_LOG_LEVEL":"DEBUG"})";
    write_file(env_json(), untouched);
    test_access::load_state(*m_app);
    EXPECT_EQ(read_file(env_json()), untouched);

    write_file(env_json(), R"({"NB_CONFIG":"/etc/x","NB_MANAGEMENT_URL":"https://evil"})");
    test_access::load_state(*m_app);
    EXPECT_EQ(read_file(env_json()), "{}\n");
}

// Stored by an older version or by hand: each would take over the client, leak a secret or make
// every command fail. Only names reach the log.
TEST_F(settings_store, load_removes_contract_secret_and_bad_log_level_overrides_in_both_spellings) {
    log_capture capture;
    write_file(env_json(), R"({"NB_SETUP_KEY":"SECRET-1","WT_PRESHARED_KEY":"SECRET-2","NB_DAEMON_ADDR":"unix:///x",)"
                           R"("WT_LOG_FILE":"/tmp/x","NB_LOG_LEVEL":"verbose","WT_CONFIG":"/x","NB_FOO":"x"})");
    test_access::load_state(*m_app);
    EXPECT_EQ(read_file(env_json()), "{\n  \"NB_FOO\": \"x\"\n}\n");
    const auto env = test_access::build_command_env(*m_app);
    EXPECT_EQ(env.count("NB_SETUP_KEY") + env.count("WT_PRESHARED_KEY") + env.count("NB_LOG_LEVEL"), 0u);
    const auto lines = capture.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("NB_SETUP_KEY") != std::string::npos; }));
    for (const std::string& line : lines) EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
}

// An env.json beyond the budget would push every child past what execve accepts: the first that
// fit stay, in key order, and the file is rewritten with them.
TEST_F(settings_store, load_keeps_only_the_overrides_that_fit_the_budget) {
    json stored = json::object();
    for (int i = 0; i < 400; ++i) stored["NB_K" + std::to_string(1000 + i)] = std::string(80, 'v');
    write_file(env_json(), stored.dump());
    test_access::load_state(*m_app);
    const json kept = json::parse(read_file(env_json()));
    EXPECT_EQ(kept.size(), netbird_utils::MAX_ENV_OVERRIDES);
    EXPECT_TRUE(kept.contains("NB_K1000"));
    EXPECT_FALSE(kept.contains("NB_K1064"));

    write_file(env_json(), json{{"NB_HUGE", std::string(netbird_utils::MAX_ENV_OVERRIDE_BYTES, 'v')}, {"NB_SMALL", "1"}}.dump());
    test_access::load_state(*m_app);
    EXPECT_EQ(read_file(env_json()), "{\n  \"NB_SMALL\": \"1\"\n}\n");
}

TEST_F(settings_store, load_drops_a_stored_setup_key_and_keeps_everything_else) {
    load_app_json(R"({"setup_key":"SECRET","mtu":1400,"unknown":{"x":true}})");
    EXPECT_EQ(read_file(app_json()), "{\n  \"mtu\": 1400,\n  \"unknown\": {\n    \"x\": true\n  }\n}\n");
    EXPECT_EQ(loaded_mtu(), 1400);

    const std::string untouched = R"({"mtu":1400})";
    load_app_json(untouched);
    EXPECT_EQ(read_file(app_json()), untouched);
}

TEST_F(settings_store, load_removes_what_a_crash_left_behind) {
    write_file(data_dir() / "setup-key-Ab12Cd", "SECRET");
    write_file(data_dir() / "setup-key-", "SECRET");
    write_file(data_dir() / "app.json.tmp", "{\"mt");
    write_file(data_dir() / "env.json.tmp", "");
    write_file(data_dir() / "config.json", "{}");
    write_file(data_dir() / "my-setup-key-notes", "kept");
    test_access::load_state(*m_app);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(data_dir())) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"config.json", "my-setup-key-notes"}));
}

TEST_F(settings_store, a_failed_save_is_logged_and_leaves_the_old_file_and_no_temporary) {
    write_file(app_json(), "old");
    fs::create_directory(data_dir() / "app.json.tmp");  // the temporary cannot be created
    log_capture log;
    settings_files::write_json_file(app_json(), json{{"mtu", 1400}});
    EXPECT_EQ(read_file(app_json()), "old");

    fs::create_directory(data_dir() / "dir.json");  // written, but cannot replace a directory
    settings_files::write_json_file(data_dir() / "dir.json", json::object());
    EXPECT_FALSE(fs::exists(data_dir() / "dir.json.tmp"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[E] Failed to write " + app_json().string() + "\n",
                                                      "[E] Failed to write " + (data_dir() / "dir.json").string() + "\n"}));
}

// What stands at a settings file's name is read only when it is a regular file itself: a FIFO
// would block the start forever, a link may lead to a device that never ends or to a file the
// daemon must not take for its own.
TEST_F(settings_store, only_regular_files_are_read_and_nothing_blocks_or_follows_a_link) {
    write_file(m_dir / "elsewhere.json", R"({"mtu":1400})");
    ASSERT_EQ(::mkfifo(app_json().c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(env_json().c_str(), 0600), 0);
    test_access::load_state(*m_app);  // returns: nothing waits for a writer on the FIFO
    EXPECT_EQ(loaded_mtu(), 1280);

    fs::remove(app_json());
    fs::create_symlink(m_dir / "elsewhere.json", app_json());
    EXPECT_EQ(settings_files::read_json_file(app_json()), json::object());
    fs::remove(app_json());
    fs::create_symlink("/dev/zero", app_json());
    EXPECT_EQ(settings_files::read_json_file(app_json()), json::object());
    fs::remove(app_json());
    write_file(app_json(), R"({"mtu":1400,"pad":")" + std::string(2 * 1024 * 1024, 'x') + "\"}");
    EXPECT_EQ(settings_files::read_json_file(app_json()), json::object()) << "larger than any settings file";
}

// Copying, comparing and printing a JSON value recurse once per level: a value nested deep enough
// would exhaust the stack wherever it goes next, so it is not accepted in the first place.
TEST_F(settings_store, documents_nested_past_the_limit_read_as_no_settings) {
    const auto nested = [](std::size_t depth) {
        return "{\"mtu\":1400,\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    load_app_json(nested(json_utils::MAX_NESTING - 1));
    EXPECT_EQ(loaded_mtu(), 1400);
    load_app_json(nested(json_utils::MAX_NESTING));
    EXPECT_EQ(loaded_mtu(), 1280);
    load_app_json(nested(1000000));
    EXPECT_EQ(loaded_mtu(), 1280);
    write_file(env_json(), R"({"NB_A":"x","deep":)" + std::string(1000000, '{') + std::string(1000000, '}') + "}");
    test_access::load_state(*m_app);
    EXPECT_EQ(test_access::build_command_env(*m_app).count("NB_A"), 0U);

    // Brackets inside strings are text, escaped quotes included.
    EXPECT_TRUE(json_utils::nesting_within(R"({"a":"[[[[\"[[[[","b":[1]})", 2));
    EXPECT_FALSE(json_utils::nesting_within(R"({"a":"\\","b":[[1]]})", 2));
    const std::string status = std::string(200000, '[') + std::string(200000, ']');
    const json document = json::parse(vpn_api::build_status_json(0, status, true, false, false, json::object()));
    EXPECT_EQ(document["output"], status) << "shown as text, like any output that is not a status document";
    EXPECT_FALSE(document.contains("status"));
}

TEST(settings_table, submitted_text_is_stored_in_the_type_of_its_setting) {
    const auto stored = [](std::string_view name, const std::string& text) {
        return settings_table::stored_form(*settings_table::find(name), text);
    };
    EXPECT_EQ(stored("watchdog_enabled", "true"), json(true));
    EXPECT_EQ(stored("watchdog_enabled", "yes"), json(false));
    EXPECT_EQ(stored("wireguard_port", "51820x"), json(51820));
    EXPECT_EQ(stored("wireguard_port", "abc"), json("abc"));
    EXPECT_EQ(stored("watchdog_timeout", " 30s"), json(30));
    EXPECT_EQ(stored("log_retention_days", "99999999999"), json("99999999999"));
    EXPECT_EQ(stored("mtu", "-1"), json(-1));
    EXPECT_EQ(stored("management_url", "123"), json("123"));
    EXPECT_EQ(stored("interface_name", "true"), json("true"));
}

// A row that can refuse text must say why; one that takes any text has nothing to say.
TEST(settings_table, every_setting_with_a_rule_has_its_message) {
    for (const settings_table::descriptor& setting : settings_table::SETTINGS) {
        const bool has_rule = setting.type != settings_table::kind::text || setting.text_rule != nullptr;
        EXPECT_EQ(has_rule, !setting.refusal_message.empty()) << setting.name;
    }
}

// The rules of submitted text: each setting's range or rule and its own message; the bounds pass.
TEST(settings_table, submitted_text_breaking_a_rule_gets_its_settings_message) {
    const auto refusal = [](std::string_view name, std::string_view text) {
        return settings_table::refusal(*settings_table::find(name), text);
    };
    for (const char* text : {"1", "65535", " 443", "8080x"}) EXPECT_EQ(refusal("wireguard_port", text), std::nullopt) << text;
    for (const char* text : {"0", "65536", "-51820", "port", ""})
        EXPECT_EQ(refusal("wireguard_port", text), "wireguard_port must be an integer between 1 and 65535") << text;
    EXPECT_EQ(refusal("mtu", "576"), std::nullopt);
    EXPECT_EQ(refusal("mtu", "8192"), std::nullopt);
    EXPECT_EQ(refusal("mtu", "575"), "mtu must be an integer between 576 and 8192");
    EXPECT_EQ(refusal("mtu", "8193"), "mtu must be an integer between 576 and 8192");
    EXPECT_EQ(refusal("watchdog_timeout", "2147483647"), std::nullopt);
    EXPECT_EQ(refusal("watchdog_timeout", "29"), "watchdog_timeout must be an integer >= 30 (seconds)");
    EXPECT_EQ(refusal("log_retention_days", "366"), "log_retention_days must be an integer between 1 and 365");
    EXPECT_EQ(refusal("watchdog_enabled", "false"), std::nullopt);
    EXPECT_EQ(refusal("watchdog_enabled", "True"), "watchdog_enabled must be true or false");
    EXPECT_EQ(refusal("log_level", "critical"), std::nullopt);
    EXPECT_NE(refusal("log_level", "warn"), std::nullopt);
    EXPECT_EQ(refusal("interface_name", "tun-1_x"), std::nullopt);
    EXPECT_NE(refusal("interface_name", "abcdefghijklmnop"), std::nullopt);
    EXPECT_EQ(refusal("management_url", "anything at all"), std::nullopt);
}

// Every tunnel setting goes to `up` with the value the system runs with, an empty map included.
TEST(settings_table, up_gets_every_tunnel_flag_with_its_value) {
    EXPECT_EQ(settings_table::up_args(json::object(), settings_table::reach::tunnel),
              (std::vector<std::string>{"--wireguard-port", "51820", "--mtu", "1280", "--interface-name", "wt0",
                                        "--external-ip-map", ""}));
    const json stored{{"wireguard_port", 1}, {"mtu", 9000}, {"interface_name", "tun-1"},
                      {"external_ip_map", "1.2.3.4"}, {"log_level", "debug"}};
    EXPECT_EQ(settings_table::up_args(stored, settings_table::reach::tunnel),
              (std::vector<std::string>{"--wireguard-port", "1", "--mtu", "1280", "--interface-name", "tun-1",
                                        "--external-ip-map", "1.2.3.4"}));
}

// A child saves two documents in turn while it is SIGKILLed at random moments: whatever moment
// the kill hits, the file holds one whole document, and the next save leaves no temporary.
TEST_F(settings_store, a_save_killed_at_any_moment_leaves_the_old_or_the_new_document) {
    constexpr int KILLS = 200;
    const json documents[] = {json{{"mtu", 1400}, {"pad", std::string(40000, 'a')}},
                              json{{"mtu", 1500}, {"pad", std::string(70000, 'b')}}};
    std::string texts[2];
    for (int i = 0; i < 2; ++i) {
        settings_files::write_json_file(app_json(), documents[i]);
        texts[i] = read_file(app_json());
    }
    std::mt19937 random(std::random_device{}());
    // Wide enough that a slow (instrumented, loaded) child has begun saving by most kills.
    std::uniform_int_distribution<int> delay_us(0, 20000);
    int interrupted_saves = 0;
    for (int kill = 0; kill < KILLS; ++kill) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            for (int i = 0;; ++i) settings_files::write_json_file(app_json(), documents[i % 2]);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        const std::string content = read_file(app_json());
        ASSERT_TRUE(content == texts[0] || content == texts[1]) << "kill " << kill << ": " << content.size() << " bytes";
        if (fs::exists(data_dir() / "app.json.tmp")) ++interrupted_saves;
    }
    settings_files::write_json_file(app_json(), documents[0]);
    EXPECT_EQ(std::distance(fs::directory_iterator(data_dir()), fs::directory_iterator()), 1);
    EXPECT_GT(interrupted_saves, 0) << "no kill hit a save in progress";
    std::cout << "[ crash    ] " << KILLS << " kills, " << interrupted_saves << " of them during a save\n";
}

}  // namespace

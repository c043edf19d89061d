// The settings and environment-override APIs and the start-up clean-ups, against the running daemon.

#include "harness.hpp"
#include "inspect.hpp"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace test_support;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const std::string DEFAULT_CONFIG =
    R"({"external_ip_map":"","interface_name":"wt0","log_level":"info","log_retention_days":30,)"
    R"("management_url":"","mtu":1280,"watchdog_enabled":true,"watchdog_timeout":300,"wireguard_port":51820})";

// The settings document with some members changed, in the daemon's compact form.
std::string config_with(const json& changes) {
    json document = json::parse(DEFAULT_CONFIG);
    document.update(changes);
    return document.dump();
}

const char* const IP_MAP_MESSAGE =
    "external_ip_map must be a comma-separated list of external IP addresses, each optionally followed by / and an "
    "internal IP address or the name of an existing network interface with an IPv4 address that NetBird does not "
    "ignore (lo, wt0, docker, veth, br-, ...)";
const char* const UNPRINTABLE = "The value must be UTF-8 text without control characters";


std::string error_body(const std::string& message) { return json{{"error", message}}.dump(); }

// Everything logged before `fence` has arrived once the fence has: the log is one datagram stream.
long count_logged_before(syslog_capture& syslog, const std::string& text, const std::string& fence) {
    EXPECT_TRUE(wait_for([&] { return syslog.contains(fence); })) << fence;
    return static_cast<long>(syslog.count(text));
}

bool status_flag(staged_app& app, const char* flag) {
    return json::parse(app.client().get(API + "/status").body).at(flag).get<bool>();
}

void expect_rejected(staged_app& app, const std::string& path, const std::string& body, const std::string& message) {
    const http_reply reply = app.client().post(API + path, body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.body, error_body(message)) << body;
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(reply.header("Cache-Control"), "");
}

TEST(config_api, rejects_each_bad_request_with_its_message_and_stores_nothing) {
    staged_app app;
    app.start();
    const std::pair<const char*, const char*> cases[] = {
        {"", "Missing config name"},
        {"name=&value=1400", "Missing config name"},
        {"name=MTU&value=1400", "Invalid config key"},
        {"name=setup_key&value=x", "Invalid config key"},
        {"name=watchdog_enabled&value=True", "watchdog_enabled must be true or false"},
        {"name=watchdog_enabled&value=1", "watchdog_enabled must be true or false"},
        {"name=watchdog_timeout&value=29", "watchdog_timeout must be an integer >= 30 (seconds)"},
        {"name=watchdog_timeout&value=99999999999", "watchdog_timeout must be an integer >= 30 (seconds)"},
        {"name=log_retention_days&value=0", "log_retention_days must be an integer between 1 and 365"},
        {"name=log_retention_days&value=366", "log_retention_days must be an integer between 1 and 365"},
        {"name=log_level&value=warn", "log_level must be one of trace, debug, info, warning, error, critical, off"},
        {"name=wireguard_port&value=0", "wireguard_port must be an integer between 1 and 65535"},
        {"name=wireguard_port&value=65536", "wireguard_port must be an integer between 1 and 65535"},
        {"name=wireguard_port&value=abc", "wireguard_port must be an integer between 1 and 65535"},
        {"name=external_ip_map&value=1.2.3.4+", IP_MAP_MESSAGE},
        {"name=external_ip_map&value=1.2.3.4%2C%2C5.6.7.8", IP_MAP_MESSAGE},
        {"name=external_ip_map&value=1.2.3.4%2F10.0.0.1%2F10.0.0.2", IP_MAP_MESSAGE},
        {"name=external_ip_map&value=1.2.3.4%2Fno-such-if9", IP_MAP_MESSAGE},
        {"name=external_ip_map&value=lo%2F1.2.3.4", IP_MAP_MESSAGE},
        {"name=external_ip_map&value=1.2.3.4%2Flo", IP_MAP_MESSAGE},
        {"name=management_url&value=https%3A%2F%2Fm.example%FF", UNPRINTABLE},
        {"name=management_url&value=https%3A%2F%2Fm.example%0Afake", UNPRINTABLE},
        {"name=mtu&value=575", "mtu must be an integer between 576 and 8192"},
        {"name=mtu&value=8193", "mtu must be an integer between 576 and 8192"},
        {"name=interface_name&value=abcdefghijklmnop",
         "interface_name must be 1-15 characters using only letters, digits, '_' or '-'"},
    };
    for (const auto& [body, message] : cases) expect_rejected(app, "/config", body, message);
    EXPECT_EQ(app.client().post(API + "/config", "name=mtu&value=" + std::string(9000, '1')).status, 413);
    EXPECT_FALSE(fs::exists(app.data_dir() / "app.json"));
    EXPECT_EQ(app.client().get(API + "/config").body, DEFAULT_CONFIG);
}

TEST(config_api, set_and_reset_save_the_file_every_time_but_log_only_real_changes) {
    syslog_capture syslog;
    staged_app app;
    app.start();
    const fs::path app_json = app.data_dir() / "app.json";
    const auto post = [&](const std::string& body) { return app.client().post(API + "/config", body); };

    const http_reply set = post("name=mtu&value=1400");
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.body, config_with({{"mtu", 1400}}));
    EXPECT_EQ(set.header("Cache-Control"), "");
    EXPECT_EQ(read_file(app_json), "{\n  \"mtu\": 1400\n}\n");

    write_file(app_json, "hand edit");  // shows whether the repeat writes the file again
    EXPECT_EQ(post("name=mtu&value=1400").body, config_with({{"mtu", 1400}}));
    EXPECT_EQ(read_file(app_json), "{\n  \"mtu\": 1400\n}\n");

    EXPECT_EQ(post("name=watchdog_timeout&value=30s").body, config_with({{"mtu", 1400}, {"watchdog_timeout", 30}}));
    EXPECT_EQ(count_logged_before(syslog, "App setting changed: mtu=1400", "App setting changed: watchdog_timeout=30s"), 1);
    EXPECT_EQ(read_file(app_json), "{\n  \"mtu\": 1400,\n  \"watchdog_timeout\": 30\n}\n");

    EXPECT_EQ(post("name=mtu").body, config_with({{"watchdog_timeout", 30}}));
    EXPECT_EQ(read_file(app_json), "{\n  \"watchdog_timeout\": 30\n}\n");
    write_file(app_json, "hand edit");
    EXPECT_EQ(post("name=mtu&value=").body, config_with({{"watchdog_timeout", 30}}));
    EXPECT_EQ(read_file(app_json), "{\n  \"watchdog_timeout\": 30\n}\n");

    // Stored as decoded.
    EXPECT_EQ(post("name=management_url&value=https%3A%2F%2Fm.example%2F%3Fa+b%C3%A9").body,
              config_with({{"watchdog_timeout", 30}, {"management_url", "https://m.example/?a b\xC3\xA9"}}));
    EXPECT_EQ(count_logged_before(syslog, "App setting reset: mtu", "App setting changed: management_url="), 1);
    EXPECT_EQ(read_file(app_json),
              "{\n  \"management_url\": \"https://m.example/?a b\xC3\xA9\",\n  \"watchdog_timeout\": 30\n}\n");
}

TEST(config_api, retention_requests_prune_before_the_answer_even_when_unchanged) {
    staged_app app;
    app.start();
    const fs::path old_log = app.log_dir() / "app_2000-01-01.log";
    for (int request = 0; request < 2; ++request) {
        write_file(old_log, "old\n");
        EXPECT_EQ(app.client().post(API + "/config", "name=log_retention_days&value=7").status, 200);
        EXPECT_FALSE(fs::exists(old_log)) << "request " << request;
    }
}

TEST(config_api, log_level_requests_apply_the_level_on_set_and_on_reset) {
    syslog_capture syslog;
    staged_app app;
    app.start();
    const auto post = [&](const std::string& body) { app.client().post(API + "/config", body); };
    post("name=log_level&value=error");
    post("name=mtu&value=1400");  // an info line, now suppressed
    post("name=log_level");       // logged before the reset takes effect, so suppressed too
    post("name=mtu&value=1500");
    EXPECT_EQ(count_logged_before(syslog, "mtu=1400", "App setting changed: mtu=1500"), 0);
    EXPECT_TRUE(syslog.contains("App setting changed: log_level=error"));
    EXPECT_FALSE(syslog.contains("App setting reset: log_level"));
}

TEST(config_api, a_changed_tunnel_setting_asks_for_a_reconnect_only_while_the_vpn_is_wanted_up) {
    staged_app app;
    app.start();
    const auto post = [&](const std::string& body) { app.client().post(API + "/config", body); };
    post("name=mtu&value=1400");
    EXPECT_FALSE(status_flag(app, "pending_reconnect"));

    app.client().post(API + "/up", UP_WITH_KEY);  // wanted up from now on
    post("name=management_url&value=https%3A%2F%2Fm.example");
    post("name=watchdog_timeout&value=60");
    post("name=mtu&value=1400");
    EXPECT_FALSE(status_flag(app, "pending_reconnect"));
    post("name=interface_name&value=wt7");
    EXPECT_TRUE(status_flag(app, "pending_reconnect"));
}

TEST(env_api, rejects_each_bad_request_with_its_message_and_stores_nothing) {
    const char* const RESERVED = "Env key is reserved: the system sets this NetBird flag itself";
    const char* const SECRET = "Env key would hold a secret, which is never stored";
    const char* const LOG_LEVEL = "NB_LOG_LEVEL must be one of panic, fatal, error, warn, warning, info, debug, trace";
    syslog_capture syslog;
    staged_app app;
    app.start();
    const std::pair<const char*, const char*> cases[] = {
        {"", "Missing env name"},
        {"name=&value=x", "Missing env name"},
        {"name=HOME&value=x", "Invalid env key"},
        {"name=nb_log_level&value=x", "Invalid env key"},
        {"name=NB_LOG-LEVEL&value=x", "Invalid env key"},
        {"name=NB_CONFIG&value=x", "Env key is read-only"},
        {"name=NB_STATE_DIR", "Env key is read-only"},
        {"name=NB_MANAGEMENT_URL&value=x", "Env key is read-only"},
        {"name=NB_MTU&value=1400", "Use Tunnel settings for this NetBird flag"},
        {"name=NB_WIREGUARD_PORT&value=1", "Use Tunnel settings for this NetBird flag"},
        {"name=NB_INTERFACE_NAME", "Use Tunnel settings for this NetBird flag"},
        {"name=NB_EXTERNAL_IP_MAP&value=1.2.3.4", "Use Tunnel settings for this NetBird flag"},
        {"name=WT_DAEMON_ADDR&value=x", "Invalid env key"},
        {"name=NB_DAEMON_ADDR&value=unix:///x", RESERVED},
        {"name=NB_LOG_FILE&value=/tmp/x", RESERVED},
        {"name=NB_SETUP_KEY_FILE&value=/tmp/k", RESERVED},
        {"name=NB_PROFILE&value=other", RESERVED},
        {"name=NB_FOREGROUND_MODE&value=true", RESERVED},
        {"name=NB_ENABLE_LAZY_CONNECTION&value=true", RESERVED},
        {"name=NB_DISABLE_AUTO_CONNECT&value=true", RESERVED},
        {"name=NB_SETUP_KEY&value=SECRET-KEY-1", SECRET},
        {"name=NB_PRESHARED_KEY&value=SECRET-KEY-2", SECRET},
        {"name=NB_SETUP_KEY", SECRET},
        {"name=NB_LOG_LEVEL&value=verbose", LOG_LEVEL},
        {"name=NB_LOG_LEVEL&value=critical", LOG_LEVEL},
        {"name=NB_NETSTACK_SKIP_PROXY&value=false",
         "Env key is protected: Kept true: any other value opens an unauthenticated SOCKS5 proxy into the VPN on "
         "every address of the camera."},
        {"name=NB_DISABLE_UPDATE_SETTINGS&value=true",
         "Env key is protected: Makes the client drop every tunnel setting while the camera reports it applied."},
        {"name=NB_USE_NETSTACK_MODE", "Env key is protected: Kept true: kernel mode changes the camera's routes, DNS "
                                      "and firewall, which a killed client never undoes."},
        {"name=NB_DNS_RESOLVER_ADDRESS&value=10.0.0.1",
         "NB_DNS_RESOLVER_ADDRESS must be IP:port, with an IPv6 address in brackets"},
        {"name=NB_ADMIN_URL&value=app.example", "NB_ADMIN_URL must be an http:// or https:// URL with a host"},
        {"name=NB_FOO&value=a%1Bb", UNPRINTABLE},
        {"name=NB_FOO&value=%FF", UNPRINTABLE},
    };
    for (const auto& [body, message] : cases) expect_rejected(app, "/env", body, message);
    EXPECT_FALSE(fs::exists(app.data_dir() / "env.json"));
    EXPECT_FALSE(status_flag(app, "pending_restart"));
    EXPECT_EQ(app.client().get(API + "/env").body.find("SECRET-KEY"), std::string::npos);
    for (const std::string& text : {app.app_log(), app.console()})
        EXPECT_EQ(text.find("SECRET-KEY"), std::string::npos);
    for (const std::string& line : syslog.lines()) EXPECT_EQ(line.find("SECRET-KEY"), std::string::npos) << line;
}

// Beyond the budget every child would fail to start; removals and changes within it still work.
TEST(env_api, refuses_an_override_beyond_the_budget_but_not_a_removal_or_a_change) {
    staged_app app;
    app.start();
    const std::string budget_error =
        "Too many env overrides: at most 64, with 32768 bytes of names and values in all";
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(app.client().post(API + "/env", "name=NB_K" + std::to_string(100 + i) + "&value=1").status, 200) << i;
    expect_rejected(app, "/env", "name=NB_ONE_MORE&value=1", budget_error);
    EXPECT_EQ(app.client().post(API + "/env", "name=NB_K100&value=2").status, 200);
    EXPECT_EQ(app.client().post(API + "/env", "name=NB_K101").status, 200);
    EXPECT_EQ(app.client().post(API + "/env", "name=NB_ONE_MORE&value=1").status, 200);

    // The byte budget: four values of 8000 bytes fit, a fifth does not.
    for (int i = 102; i < 112; ++i) app.client().post(API + "/env", "name=NB_K" + std::to_string(i));
    const std::string big(8000, 'v');
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(app.client().post(API + "/env", "name=NB_BIG" + std::to_string(i) + "&value=" + big).status, 200);
    expect_rejected(app, "/env", "name=NB_BIG4&value=" + big, budget_error);
    const json stored = json::parse(read_file(app.data_dir() / "env.json"));
    EXPECT_FALSE(stored.contains("NB_BIG4"));
    EXPECT_EQ(stored["NB_K100"], "2");
}

// The up form's settings pass the checks of the settings API: a value refused there is refused
// here, before anything is stored or run.
TEST(config_api, up_refuses_the_setting_values_the_settings_api_refuses) {
    const sim_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    const std::pair<std::string, std::string> cases[] = {{"external_ip_map=1.2.3.4%2Feth9%2C", IP_MAP_MESSAGE},
                                                         {"mtu=abc", "mtu must be an integer between 576 and 8192"},
                                                         {"interface_name=a%0Ab", UNPRINTABLE}};
    for (const auto& [field, error] : cases) {
        const http_reply refused = app.client().post(API + "/up", UP_WITH_KEY + "&" + field);
        EXPECT_EQ(refused.status, 400) << field;
        EXPECT_EQ(refused.body, json({{"error", error}, {"exit_code", 400}, {"ok", false}, {"output", error}}).dump());
    }
    EXPECT_FALSE(fs::exists(app.data_dir() / "app.json"));
    EXPECT_EQ(json(record.lines()).dump().find(R"("up")"), std::string::npos);
}

// A map set while its interface was there stays stored when the interface goes (Wi-Fi at boot):
// `up` leaves the flag out, so the client keeps its map, and the answer says why.
TEST(config_api, an_external_ip_map_survives_its_interface_missing_at_up_time) {
    const sim_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    // ip lives in sbin, which the PATH of a non-login shell may lack.
    const auto ip = [](const std::string& args) { return std::system(("PATH=$PATH:/usr/sbin:/sbin ip " + args).c_str()); };
    ASSERT_EQ(ip("link add cam0 type veth peer name cam1"), 0);
    ASSERT_EQ(ip("addr add 192.0.2.10/24 dev cam0"), 0);
    expect_rejected(app, "/config", "name=external_ip_map&value=203.0.113.5%2Fcam1", IP_MAP_MESSAGE);  // no IPv4
    ASSERT_EQ(app.client().post(API + "/config", "name=external_ip_map&value=203.0.113.5%2Fcam0").status, 200);
    ASSERT_EQ(ip("link del cam0"), 0);  // and its peer with it

    const json up = json::parse(app.client().post(API + "/up", UP_WITH_KEY).body);
    EXPECT_EQ(up["exit_code"], 0) << up.dump();
    EXPECT_NE(up["output"].get<std::string>().find("external_ip_map left out of up: interface cam0 is missing now"),
              std::string::npos)
        << up.dump();
    EXPECT_EQ(json::parse(app.client().get(API + "/config").body)["external_ip_map"], "203.0.113.5/cam0");
    for (const json& line : record.lines()) {
        const json argv = line.value("argv", json::array());
        EXPECT_EQ(std::find(argv.begin(), argv.end(), "--external-ip-map"), argv.end()) << line.dump();
    }
}

TEST(config_api, a_setup_key_netbird_would_refuse_is_refused_before_any_command) {
    const sim_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    const http_reply reply = app.client().post(API + "/up", "setup_key=not-a-uuid");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(json::parse(reply.body)["error"],
              "The setup key is not one NetBird accepts: it is a UUID such as 01234567-89AB-CDEF-0123-456789ABCDEF.");
    for (const json& line : record.lines()) {
        const json argv = line.value("argv", json::array());
        EXPECT_EQ(std::find(argv.begin(), argv.end(), "up"), argv.end()) << line.dump();
    }
    EXPECT_FALSE(status_flag(app, "pending_reconnect"));
}

// Every NetBird child, the service and each one-off command, runs without the SOCKS5 proxy of
// netstack mode and with a user name; the simulator would record the proxy it opened.
TEST(env_api, every_netbird_child_gets_the_proxy_switched_off_and_a_user_name) {
    const sim_record record;
    staged_app app({.env = {record.env()}});
    ::unsetenv("USER");
    app.start();
    app.client().get(API + "/status");  // a watcher: the status poll runs at once
    ASSERT_TRUE(wait_for([&] { return json(record.lines()).dump().find(R"("status")") != std::string::npos; }));
    ASSERT_EQ(json::parse(app.client().post(API + "/up", UP_WITH_KEY).body)["exit_code"], 0);
    ASSERT_EQ(json::parse(app.client().post(API + "/down").body)["exit_code"], 0);
    ASSERT_EQ(app.client().get(API + "/debug-bundle").status, 200);
    EXPECT_TRUE(wait_for([&] { return json(record.lines()).dump().find(R"("status")") != std::string::npos; }))
        << "a status poll";
    std::set<std::string> commands;
    for (const json& invocation : record.lines()) {
        EXPECT_FALSE(invocation.contains("event")) << invocation.dump();
        for (const auto& word : invocation.value("argv", json::array())) commands.insert(word.get<std::string>());
        const json env = invocation.value("env", json::object());
        EXPECT_EQ(env.value("NB_NETSTACK_SKIP_PROXY", ""), "true") << invocation.dump();
        EXPECT_FALSE(env.value("USER", "").empty()) << invocation.dump();
    }
    const std::set<std::string> expected{"service", "status", "up", "down", "bundle"};
    EXPECT_TRUE(std::includes(commands.begin(), commands.end(), expected.begin(), expected.end()))
        << json(commands).dump();
}

TEST(env_api, lists_the_visible_system_variables_then_the_overrides_and_the_presets) {
    staged_app app;
    app.start();
    const auto system = [&](const char* name, const std::string& value) {
        return json{{"name", name}, {"system", true}, {"value", value}};
    };
    json expected{
        {"entries",
         {system("NB_USE_NETSTACK_MODE", "true"), system("NB_ENABLE_NETSTACK_LOCAL_FORWARDING", "true"),
          system("NB_NETSTACK_SKIP_PROXY", "true"), system("NB_LOG_MAX_SIZE_MB", "5"),
          system("NB_STATE_DIR", app.data_dir().string())}},
        {"presets",
         {{{"default_value", "info"}, {"description", "Set NetBird log level."}, {"name", "NB_LOG_LEVEL"}},
          {{"default_value", "true"}, {"description", "Force relay connections."}, {"name", "NB_FORCE_RELAY"}},
          {{"default_value", "15"},
           {"description", "Idle time in whole minutes before a lazy connection closes."},
           {"name", "NB_LAZY_CONN_INACTIVITY_THRESHOLD"}}}}};
    const auto listed = [&] {
        json document = json::parse(app.client().get(API + "/env").body);
        for (const char* list : {"protected", "checked"}) document.erase(list);
        return document;
    };
    EXPECT_EQ(listed(), expected);
    const http_reply reply = app.client().get(API + "/env");
    EXPECT_EQ(reply.header("Cache-Control"), "");

    // The page learns which names it cannot offer, and why.
    const json document = json::parse(reply.body);
    const auto description_of = [&](const char* list, const char* name) {
        for (const json& entry : document[list])
            if (entry["name"] == name) return entry["description"].get<std::string>();
        return std::string();
    };
    EXPECT_EQ(description_of("protected", "NB_NETSTACK_SKIP_PROXY"),
              "Env key is protected: Kept true: any other value opens an unauthenticated SOCKS5 proxy into the VPN on "
              "every address of the camera.");
    EXPECT_EQ(description_of("protected", "NB_CONFIG"), "Env key is read-only");
    EXPECT_EQ(description_of("protected", "NB_SETUP_KEY"), "Env key would hold a secret, which is never stored");
    EXPECT_EQ(description_of("protected", "NB_LOG_MAX_SIZE_MB"), "");
    EXPECT_EQ(description_of("checked", "NB_ADMIN_URL"), "NB_ADMIN_URL must be an http:// or https:// URL with a host");

    app.client().post(API + "/env", "name=NB_LOG_MAX_SIZE_MB&value=10");
    app.client().post(API + "/env", "name=NB_A&value=1");
    expected["entries"].push_back({{"name", "NB_A"}, {"system", false}, {"value", "1"}});
    expected["entries"].push_back({{"name", "NB_LOG_MAX_SIZE_MB"}, {"system", false}, {"value", "10"}});
    EXPECT_EQ(listed(), expected);
}

TEST(env_api, changes_while_the_service_runs_ask_for_a_restart_and_repeats_change_nothing) {
    syslog_capture syslog;
    staged_app app;
    app.start();
    const fs::path env_json = app.data_dir() / "env.json";
    const auto post = [&](const std::string& body) { return app.client().post(API + "/env", body).body; };
    const std::string with_debug = R"({"env":{"NB_LOG_LEVEL":"debug"},"ok":true,"restart_required":true})";

    EXPECT_EQ(post("name=NB_LOG_LEVEL&value=debug"), with_debug);
    EXPECT_EQ(read_file(env_json), "{\n  \"NB_LOG_LEVEL\": \"debug\"\n}\n");
    EXPECT_TRUE(status_flag(app, "pending_restart"));

    app.client().post(API + "/restart");
    ASSERT_FALSE(status_flag(app, "pending_restart"));
    write_file(env_json, "hand edit");  // shows whether the repeat writes the file again
    EXPECT_EQ(post("name=NB_LOG_LEVEL&value=debug"), with_debug);
    EXPECT_EQ(read_file(env_json), "{\n  \"NB_LOG_LEVEL\": \"debug\"\n}\n");
    EXPECT_FALSE(status_flag(app, "pending_restart"));

    EXPECT_EQ(post("name=NB_LOG_LEVEL"), R"({"env":{},"ok":true,"restart_required":true})");
    EXPECT_EQ(read_file(env_json), "{}\n");
    EXPECT_TRUE(status_flag(app, "pending_restart"));
    write_file(env_json, "hand edit");
    EXPECT_EQ(post("name=NB_LOG_LEVEL&value="), R"({"env":{},"ok":true,"restart_required":true})");
    EXPECT_EQ(read_file(env_json), "{}\n");

    // Stored as decoded.
    EXPECT_EQ(post("name=NB_FOO&value=a+b%26c%C3%A9"),
              R"({"env":{"NB_FOO":"a b&c)" "\xC3\xA9" R"("},"ok":true,"restart_required":true})");
    const std::string fence = "NetBird env override set: NB_FOO=a b&c";
    EXPECT_EQ(count_logged_before(syslog, "NetBird env override set: NB_LOG_LEVEL=debug", fence), 1);
    EXPECT_EQ(count_logged_before(syslog, "NetBird env override removed: NB_LOG_LEVEL", fence), 1);
}

TEST(env_api, changes_without_a_running_service_need_no_restart) {
    staged_app app(without_netbird());
    app.start();
    EXPECT_EQ(app.client().post(API + "/env", "name=NB_FOO&value=1").body,
              R"({"env":{"NB_FOO":"1"},"ok":true,"restart_required":false})");
    EXPECT_FALSE(status_flag(app, "pending_restart"));
}

TEST(settings_start_up, removes_reserved_overrides_a_stored_setup_key_and_staged_key_files) {
    staged_app app;
    write_file(app.data_dir() / "app.json", R"({"setup_key":"SECRET","mtu":1400,"custom":"kept"})");
    write_file(app.data_dir() / "env.json",
               R"({"NB_MTU":"1400","NB_FOO":"x","NB_BAR":5,"NB_SETUP_KEY":"SECRET","WT_DAEMON_ADDR":"unix:///x",)"
               R"("NB_LOG_LEVEL":"loud","NB_NETSTACK_SKIP_PROXY":"false","NB_EXTRA_DNS_LABELS":"a,,b"})");
    write_file(app.data_dir() / "setup-key-Xy12Ab", "SECRET");
    app.start();
    EXPECT_EQ(read_file(app.data_dir() / "app.json"), "{\n  \"custom\": \"kept\",\n  \"mtu\": 1400\n}\n");
    EXPECT_EQ(read_file(app.data_dir() / "env.json"), "{\n  \"NB_FOO\": \"x\"\n}\n");
    EXPECT_FALSE(fs::exists(app.data_dir() / "setup-key-Xy12Ab"));
    const json document = json::parse(app.client().get(API + "/env").body);
    json overrides = json::array();
    for (const json& entry : document["entries"])
        if (!entry["system"].get<bool>()) overrides.push_back(entry);
    EXPECT_EQ(overrides, json::array({json{{"name", "NB_FOO"}, {"system", false}, {"value", "x"}}}));
    EXPECT_EQ(app.client().get(API + "/config").body, config_with({{"mtu", 1400}}));
    EXPECT_NE(app.app_log().find("NetBird env override dropped: NB_NETSTACK_SKIP_PROXY"), std::string::npos);
}

// Many clients change settings at once, so saves pile up behind the one being written and go to
// disk together: every answered change is in the file, and each answer already shows its own.
TEST(settings_saves, concurrent_changes_are_all_answered_with_their_value_and_all_reach_the_files) {
    constexpr int CLIENTS = 4;
    constexpr int CHANGES = 3;
    staged_app app;
    app.start();
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int c = 0; c < CLIENTS; ++c)
        clients.emplace_back([&, c] {
            http_client client;
            for (int i = 0; i < CHANGES; ++i) {
                const std::string name = "NB_SIM_T" + std::to_string(c) + "_" + std::to_string(i);
                const http_reply reply = client.post(API + "/env", "name=" + name + "&value=v" + std::to_string(i));
                if (reply.status == 200 && json::parse(reply.body)["env"].contains(name)) ++answered;
                const int mtu = 600 + c * CHANGES + i;
                const http_reply config = client.post(API + "/config", "name=mtu&value=" + std::to_string(mtu));
                if (config.status == 200) ++answered;
            }
        });
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(answered, CLIENTS * CHANGES * 2);

    const json env_file = json::parse(read_file(app.data_dir() / "env.json"));
    EXPECT_EQ(env_file.size(), static_cast<std::size_t>(CLIENTS * CHANGES)) << env_file.dump();
    const json config = json::parse(app.client().get(API + "/config").body);
    EXPECT_EQ(json::parse(read_file(app.data_dir() / "app.json"))["mtu"], config["mtu"]);
    EXPECT_EQ(app.stop(), 0);
    app.start();
    EXPECT_EQ(json::parse(app.client().get(API + "/config").body), config);
    EXPECT_EQ(app.stop(), 0);
}

// One connection sends changes back to back without waiting: the answers come in order, each
// shows at least its own change, and a read sent right after them sees the last.
TEST(settings_saves, pipelined_changes_are_answered_in_order_and_a_read_after_them_sees_the_last) {
    staged_app app;
    app.start();
    http_client& client = app.client();
    for (int i = 0; i < 20; ++i) client.send_request("POST", API + "/config", "name=mtu&value=" + std::to_string(1000 + i));
    client.send_request("GET", API + "/config");
    for (int i = 0; i < 20; ++i) {
        const http_reply reply = client.read_reply();
        ASSERT_EQ(reply.status, 200);
        EXPECT_GE(json::parse(reply.body)["mtu"].get<int>(), 1000 + i);
    }
    EXPECT_EQ(json::parse(client.read_reply().body)["mtu"], 1019);
    EXPECT_EQ(json::parse(read_file(app.data_dir() / "app.json"))["mtu"], 1019);
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace

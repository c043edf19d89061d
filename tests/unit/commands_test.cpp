// NetBird command lines, the child environment and the command runner.

#include "app_test_fixture.hpp"
#include "harness.hpp"
#include "inspect.hpp"
#include "line_reader.hpp"

#include <chrono>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <future>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using strings = std::vector<std::string>;

namespace {

using test_access = application_test_access;

class commands : public app_test_fixture {
protected:
    application app{"ovra_vpn", dir};

    std::string data(const char* name) const { return (data_dir() / name).string(); }

    strings cli_base() const {
        return {netbird_path().string(), "--log-file", data("client.log"), "--daemon-addr",
                "unix://" + data("netbird.sock")};
    }

    strings up_with(const strings& middle) const {
        strings args = cli_base();
        args.push_back("up");
        args.insert(args.end(), middle.begin(), middle.end());
        args.insert(args.end(), {"--wireguard-port", "51820", "--mtu", "1280", "--interface-name", "wt0",
                                 "--external-ip-map", ""});
        return args;
    }

    void store_settings(const std::string& app_json) {
        write_file(data_dir() / "app.json", app_json);
        test_access::load_state(app);
    }

    command_result run(const strings& extra_args, bool quiet = false,
                       std::chrono::seconds limit = test_access::COMMAND_TIMEOUT) {
        strings args{netbird_path().string()};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        return test_access::run_command(app, args, quiet, limit);
    }
};

TEST_F(commands, service_and_one_off_command_lines) {
    EXPECT_EQ(test_access::base_args_service(app),
              (strings{netbird_path().string(), "--config", data("config.json"), "--log-file",
                       "console," + data("client.log"), "--daemon-addr", "unix://" + data("netbird.sock")}));
    EXPECT_EQ(test_access::base_args_cli(app), cli_base());
}

TEST_F(commands, up_with_defaults_carries_the_vendor_management_url_and_all_tunnel_flags) {
    const strings expected = up_with({"--management-url", "https://api.netbird.io:443"});
    EXPECT_EQ(test_access::build_up_args(app, {}), expected);
    for (const char* stored : {R"({"management_url": 42})", R"({"management_url": ""})", "[1,2]"}) {
        store_settings(stored);
        EXPECT_EQ(test_access::build_up_args(app, {}), expected) << stored;
    }
}

TEST_F(commands, up_takes_stored_settings_not_the_forms_tunnel_fields) {
    store_settings(R"({"management_url": "https://mgmt.example:33073", "mtu": 1400, "wireguard_port": 51000,)"
                   R"( "interface_name": "nb0", "external_ip_map": "1.2.3.4"})");
    const strings args = test_access::build_up_args(app, {{"mtu", "9000"}, {"management_url", "https://other"}});
    strings expected = cli_base();
    expected.insert(expected.end(), {"up", "--management-url", "https://mgmt.example:33073", "--wireguard-port",
                                     "51000", "--mtu", "1400", "--interface-name", "nb0", "--external-ip-map",
                                     "1.2.3.4"});
    EXPECT_EQ(args, expected);
}

TEST_F(commands, lazy_connection_is_true_only_for_exactly_true) {
    const auto lazy_flag = [&](const std::string& value) {
        const strings args = test_access::build_up_args(app, {{"enable_lazy_connection", value}});
        return args.at(cli_base().size() + 3);  // after "up", "--management-url" and the URL
    };
    EXPECT_EQ(lazy_flag("true"), "--enable-lazy-connection=true");
    for (const char* value : {"TRUE", "yes", "1", ""}) EXPECT_EQ(lazy_flag(value), "--enable-lazy-connection=false");
    EXPECT_EQ(test_access::build_up_args(app, {{"setup_key", "k"}}),
              up_with({"--management-url", "https://api.netbird.io:443"}));
}

TEST_F(commands, overrides_are_laid_over_the_system_environment_and_the_inherited_one) {
    write_file(data_dir() / "env.json", R"({"NB_LOG_MAX_SIZE_MB": "9", "NB_EXTRA": "x", "NB_CUT": "a\u0000b"})");
    test_access::load_state(app);
    const auto env = test_access::build_command_env(app);
    EXPECT_EQ(env.at("NB_LOG_MAX_SIZE_MB"), "9");
    EXPECT_EQ(env.at("NB_EXTRA"), "x");
    EXPECT_EQ(env.at("NB_USE_NETSTACK_MODE"), "true");
    EXPECT_EQ(env.at("NB_NETSTACK_SKIP_PROXY"), "true");
    EXPECT_EQ(env.at("HOME"), data_dir().string());
    EXPECT_EQ(env.at("NB_STATE_DIR"), data_dir().string());

    ::setenv("OVRA_INHERITED", "kept", 1);
    ::setenv("NB_LOG_MAX_SIZE_MB", "1", 1);
    install_netbird("env");
    const auto result = run({});
    ::unsetenv("OVRA_INHERITED");
    ::unsetenv("NB_LOG_MAX_SIZE_MB");
    ASSERT_EQ(result.exit_code, 0) << result.stderr_data;
    for (const char* line : {"\nOVRA_INHERITED=kept\n", "\nNB_LOG_MAX_SIZE_MB=9\n", "\nNB_EXTRA=x\n",
                             "\nXDG_CONFIG_HOME=", "\nNB_CUT=a\n"})
        EXPECT_NE(("\n" + result.stdout_data).find(line), std::string::npos) << line;
}

// NetBird's `up` needs a user name; without cgo it takes it from $USER when /etc/passwd fails it.
TEST_F(commands, user_is_added_only_when_the_daemons_own_environment_lacks_it) {
    const char* own = std::getenv("USER");
    const std::string saved = own ? own : "";
    ::setenv("USER", "operator", 1);
    EXPECT_EQ(test_access::build_command_env(app).count("USER"), 0u);
    for (const bool empty : {false, true}) {
        if (empty)
            ::setenv("USER", "", 1);
        else
            ::unsetenv("USER");
        const passwd* entry = ::getpwuid(::geteuid());
        EXPECT_EQ(test_access::build_command_env(app).at("USER"), entry ? entry->pw_name : "ovra_vpn");
    }
    if (own)
        ::setenv("USER", saved.c_str(), 1);
    else
        ::unsetenv("USER");
}

TEST_F(commands, missing_executable_is_reported_without_logging_or_starting) {
    const auto result = run({"up"});
    EXPECT_EQ(result.exit_code, 127);
    EXPECT_EQ(result.stdout_data, "");
    EXPECT_EQ(result.stderr_data, "VPN CLI not found");
    EXPECT_EQ(log(), "");
}

TEST_F(commands, logged_command_line_hides_only_the_setup_key_value) {
    install_netbird(R"(printf '%s\n' "$@")");
    const auto result = run({"up", "--setup-key", "SECRET-KEY", "--json"});
    EXPECT_EQ(result.stdout_data, "up\n--setup-key\nSECRET-KEY\n--json\n");
    run({"up", "--setup-key-file", "/tmp/setup-key-1", "--setup-key"});
    run({"status"}, true);
    EXPECT_EQ(log(), "[I] Running command: " + netbird_path().string() + " up --setup-key <redacted> --json\n" +
                         "[I] Running command: " + netbird_path().string() +
                         " up --setup-key-file /tmp/setup-key-1 --setup-key\n");
}

TEST_F(commands, output_is_collected_line_by_line_from_both_streams) {
    install_netbird(R"(printf 'one\r\ntwo'; printf 'oops' >&2; exit 3)");
    const auto result = run({});
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.stdout_data, "one\r\ntwo\n");
    EXPECT_EQ(result.stderr_data, "oops\n");
    EXPECT_EQ(result.combined(), "one\r\ntwo\noops\n");

    install_netbird("exit 0");
    EXPECT_EQ(run({}).stdout_data, "");
}

TEST_F(commands, child_ended_by_signal_reports_the_signal_number) {
    install_netbird("echo before; kill -TERM $$; sleep 5");
    const auto result = run({});
    EXPECT_EQ(result.exit_code, 15);
    EXPECT_EQ(result.stdout_data, "before\n");
}

TEST_F(commands, ten_megabytes_on_each_stream_at_once_complete_and_are_kept_up_to_their_limit) {
    // 64-byte lines: 163840 of them are exactly 10 MiB. A runner that drained one pipe after the
    // other would stall with the child blocked on the other pipe, and run into the time limit.
    // Each stream keeps its first 8 MiB and a marker where it was cut.
    install_netbird("line=$(printf '%063d' 0)\n"
                    "yes \"$line\" | head -n 163840 >&2 &\n"
                    "yes \"$line\" | head -n 163840\n"
                    "wait");
    const auto result = run({}, true, 30s);
    EXPECT_EQ(result.exit_code, 0);
    const std::string cut_end = std::string(line_reader::CUT_MARKER) + "\n";
    for (const std::string* kept : {&result.stdout_data, &result.stderr_data}) {
        EXPECT_EQ(kept->size(), (8u << 20) + cut_end.size());
        EXPECT_TRUE(kept->ends_with(cut_end));
    }
    EXPECT_EQ(test_support::occurrences(log(), "cut past 8388608 bytes"), 2u) << log();
}

TEST_F(commands, child_past_the_limit_is_killed_with_partial_output) {
    // Longer than the test's own time limit: a runner that waited for the child would fail it.
    install_netbird("echo started; exec sleep 600");
    const auto result = run({}, true, 1s);
    EXPECT_EQ(result.exit_code, 124);
    EXPECT_EQ(result.stdout_data, "started\n");
    EXPECT_EQ(log(), "[E] Command timed out after 1 seconds\n");
}

TEST_F(commands, stopping_the_application_ends_a_running_command_promptly) {
    const fs::path started = dir / "started";
    install_netbird("touch '" + started.string() + "'; exec sleep 600");
    auto pending = std::async(std::launch::async, [&] { return run({}, true); });
    ASSERT_TRUE(test_support::wait_for([&] { return fs::exists(started); }));
    test_access::request_stop(app);
    // Well before the command's own time limit would end it.
    ASSERT_EQ(pending.wait_for(test_access::COMMAND_TIMEOUT / 2), std::future_status::ready);
    EXPECT_EQ(pending.get().exit_code, 9);
}

TEST_F(commands, start_failure_is_a_result_not_an_exception) {
    write_file(netbird_path(), "not executable");
    const auto not_executable = run({});
    EXPECT_EQ(not_executable.exit_code, 127);
    EXPECT_EQ(not_executable.stdout_data, "");
    EXPECT_EQ(not_executable.stderr_data.rfind("process failed: ", 0), 0u) << not_executable.stderr_data;

    const auto no_command = test_access::run_command(app, {}, true, test_access::COMMAND_TIMEOUT);
    EXPECT_EQ(no_command.stderr_data.rfind("process failed: ", 0), 0u);
}

}  // namespace

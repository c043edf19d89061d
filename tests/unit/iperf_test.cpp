// The iperf3 server's request rules, and its life cycle with a scripted stand-in for iperf3.

#include "app_test_fixture.hpp"
#include "harness.hpp"
#include "iperf_utils.hpp"

#include <climits>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

using test_access = application_test_access;

TEST(iperf_utils, server_arguments_come_in_a_fixed_order_with_one_off_only_when_asked) {
    using args = std::vector<std::string>;
    EXPECT_EQ(iperf_utils::iperf_server_args(5201, 60, true),
              (args{"--server", "--port", "5201", "--idle-timeout", "60", "--one-off", "--forceflush"}));
    EXPECT_EQ(iperf_utils::iperf_server_args(7000, 5, false),
              (args{"--server", "--port", "7000", "--idle-timeout", "5", "--forceflush"}));
}

TEST(iperf_utils, ranges_include_both_ends) {
    EXPECT_FALSE(iperf_utils::is_valid_iperf_port(1023));
    EXPECT_TRUE(iperf_utils::is_valid_iperf_port(1024));
    EXPECT_TRUE(iperf_utils::is_valid_iperf_port(65535));
    EXPECT_FALSE(iperf_utils::is_valid_iperf_port(65536));
    EXPECT_FALSE(iperf_utils::is_valid_iperf_idle_timeout(4));
    EXPECT_TRUE(iperf_utils::is_valid_iperf_idle_timeout(5));
    EXPECT_TRUE(iperf_utils::is_valid_iperf_idle_timeout(3600));
    EXPECT_FALSE(iperf_utils::is_valid_iperf_idle_timeout(3601));
}

TEST(iperf_utils, absent_or_empty_numbers_take_their_defaults_and_one_off_is_on_only_when_absent) {
    const auto defaults = iperf_utils::read_server_request({});
    EXPECT_EQ(defaults.port, 5201);
    EXPECT_EQ(defaults.idle_timeout, 60);
    EXPECT_TRUE(defaults.one_shot);

    const auto empty = iperf_utils::read_server_request({{"port", ""}, {"idle_timeout", ""}, {"one_shot", ""}});
    EXPECT_EQ(empty.port, 5201);
    EXPECT_EQ(empty.idle_timeout, 60);
    EXPECT_FALSE(empty.one_shot);

    for (const char* yes : {"true", "1", "on"})
        EXPECT_TRUE(iperf_utils::read_server_request({{"one_shot", yes}}).one_shot) << yes;
    for (const char* no : {"false", "0", "TRUE", "yes", "off"})
        EXPECT_FALSE(iperf_utils::read_server_request({{"one_shot", no}}).one_shot) << no;
}

TEST(iperf_utils, numbers_read_like_stoi_and_unreadable_ones_as_zero) {
    const std::pair<const char*, int> cases[] = {
        {"  +8080abc", 8080}, {"-5", -5}, {"abc", 0}, {"+", 0}, {"2147483647", INT_MAX}, {"2147483648", 0},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(iperf_utils::leading_int_or_zero(text), expected) << text;
        EXPECT_EQ(iperf_utils::read_server_request({{"idle_timeout", text}}).idle_timeout, expected) << text;
    }
}

// A shell script stands at lib/iperf3, so each test chooses what the "server" prints and how long
// it lives.
class iperf_server : public app_test_fixture {
protected:
    void install_server_script(const std::string& body) {
        const fs::path script = dir / "lib" / "iperf3";
        std::ofstream(script) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(script, fs::perms::owner_all);
    }

    json status() { return json::parse(test_access::iperf_status_json(app)); }

    // Once the script has ended, the reap joins the reader, so every line it printed is in.
    json status_after_exit() {
        EXPECT_TRUE(test_support::wait_for([&] { return status()["running"] == false; }));
        test_access::reap_iperf_if_exited(app);
        return status();
    }

    application app{"ovra_vpn", dir};
};

TEST_F(iperf_server, passes_its_arguments_and_keeps_the_lines_without_carriage_returns_after_the_exit) {
    install_server_script(R"(echo "$*"; printf 'line with CRLF\r\n'; printf 'last line without newline')");
    ASSERT_TRUE(test_access::start_iperf_server(app, 6001, 5, false));
    EXPECT_EQ(status()["port"], 6001);

    const json after = status_after_exit();
    EXPECT_EQ(after["output"], "--server --port 6001 --idle-timeout 5 --forceflush\nline with CRLF\n"
                               "last line without newline\n");
    EXPECT_EQ(after["running"], false);
    EXPECT_EQ(after["port"], 0);
    EXPECT_EQ(after["uptime_seconds"], 0);
}

TEST_F(iperf_server, keeps_only_the_last_400_lines) {
    install_server_script("seq 1 401");
    ASSERT_TRUE(test_access::start_iperf_server(app, 6002, 60, true));
    const std::string output = status_after_exit()["output"];

    std::string expected;
    for (int i = 2; i <= 401; ++i) expected += std::to_string(i) + "\n";
    EXPECT_EQ(output, expected);
}

TEST_F(iperf_server, an_executable_that_cannot_be_launched_leaves_nothing_running) {
    std::ofstream(dir / "lib" / "iperf3") << "not executable";
    EXPECT_FALSE(test_access::start_iperf_server(app, 5201, 60, true));
    EXPECT_EQ(status(), json::parse(R"({"output":"","port":0,"running":false,"uptime_seconds":0})"));
}

}  // namespace

// The service process, the health verdict of a status poll and the watchdog's restart rule.

#include "app_test_fixture.hpp"
#include "harness.hpp"
#include "vpn_service.hpp"

#include <chrono>

using namespace std::chrono_literals;

namespace {

using test_access = application_test_access;
using result = command_result;

class netbird_service : public app_test_fixture {
protected:
    application app{"ovra_vpn", dir};
};

TEST_F(netbird_service, starts_once_stops_and_restarts) {
    install_netbird("exec sleep 30");
    test_access::start_service(app);
    test_access::start_service(app);
    EXPECT_TRUE(test_access::service_running(app));
    EXPECT_EQ(log(), "[I] VPN service started\n");

    test_access::set_pending_restart(app);
    test_access::restart_service(app);
    EXPECT_TRUE(test_access::service_running(app));
    EXPECT_FALSE(test_access::pending_restart(app));

    test_access::stop_service(app);
    test_access::stop_service(app);
    EXPECT_FALSE(test_access::service_running(app));
    EXPECT_EQ(log(), "[I] VPN service started\n[I] VPN service stopped\n[I] VPN service started\n"
                     "[I] VPN service stopped\n");
}

TEST_F(netbird_service, service_that_ended_by_itself_is_still_stopped_cleanly) {
    install_netbird("exit 2");
    test_access::start_service(app);
    ASSERT_TRUE(test_support::wait_for([&] { return !test_access::service_running(app); }));
    test_access::stop_service(app);
    EXPECT_EQ(log(), "[I] VPN service started\n[I] VPN service stopped\n");
}

TEST_F(netbird_service, missing_executable_leaves_no_service_and_restart_still_clears_the_pending_flag) {
    test_access::set_pending_restart(app);
    test_access::restart_service(app);
    EXPECT_FALSE(test_access::service_running(app));
    EXPECT_FALSE(test_access::pending_restart(app));
    EXPECT_EQ(log(), "[E] VPN CLI not found at " + netbird_path().string() +
                         "\n[W] The VPN service could not start; it is tried again in 5 s.\n");
}

TEST(status_verdict, only_a_json_boolean_decides_and_failures_are_unhealthy) {
    EXPECT_TRUE(vpn_service::status_is_healthy({0, R"({"management":{"connected":true}})", ""}));
    EXPECT_FALSE(vpn_service::status_is_healthy({0, R"({"management":{"connected":false,"url":"x"}})", ""}));
    EXPECT_FALSE(vpn_service::status_is_healthy({1, R"({"management":{"connected":true}})", ""}));
    EXPECT_FALSE(vpn_service::status_is_healthy({124, "", ""}));
}

TEST_F(netbird_service, unreadable_status_counts_as_healthy_with_a_warning) {
    const char* outputs[] = {R"({"management":{"connected":"true"}})", R"({"signal":{"connected":false}})",
                             R"({"management":[false]})", "Daemon status: Connected\n", "[]",
                             "{\"management\":{\"connected\":false}}\ngarbage"};
    std::string expected_log;
    for (const char* output : outputs) {
        EXPECT_TRUE(vpn_service::status_is_healthy({0, output, ""})) << output;
        expected_log += "[W] Could not parse management state from netbird status; treating as healthy\n";
    }
    EXPECT_EQ(log(), expected_log);
}

TEST(status_reading, only_an_unanswered_run_counts_against_the_service) {
    const auto read = [](int exit_code, const std::string& out, const std::string& err) {
        return vpn_service::read_status({exit_code, out, err});
    };
    const auto answered = read(0, R"({"daemonStatus":"Connected","management":{"connected":false},"peers":{"connected":2}})", "");
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->daemon_status, "Connected");
    EXPECT_EQ(answered->management_connected, false);
    EXPECT_EQ(answered->peers_connected, 2);

    const auto failed = read(1, "", "Error: status failed: context deadline exceeded\n");
    ASSERT_TRUE(failed) << "between connection attempts the service still answers";
    EXPECT_EQ(failed->daemon_status, "Connecting");
    EXPECT_EQ(failed->management_connected, false);

    EXPECT_FALSE(read(1, "", "Error: failed to connect to daemon error: context deadline exceeded\n"));
    EXPECT_FALSE(read(124, "", ""));
    EXPECT_EQ(read(0, "Daemon status: Connected\n", "")->management_connected, std::nullopt);
}

TEST_F(netbird_service, start_up_takes_the_saved_registration_or_guesses_from_config_json) {
    const auto config = data_dir() / "config.json";
    // Missing before the service starts: the fresh one that the service writes registers nothing.
    test_access::assume_registration_at_start(app);
    write_file(config, "{}");
    EXPECT_FALSE(test_access::registered(app));

    // No saved registration (an upgraded camera): config.json decides until the client answers.
    // The first start's save runs in the background; it must not land after the removal.
    ASSERT_TRUE(test_support::wait_for([&] { return std::filesystem::exists(data_dir() / "registration.json"); }));
    std::filesystem::remove(data_dir() / "registration.json");
    application upgraded("ovra_vpn", dir);
    test_access::assume_registration_at_start(upgraded);
    EXPECT_TRUE(test_access::registered(upgraded));
    test_access::take_status_snapshot(upgraded, {1, "", "Error: failed to connect to daemon"});
    EXPECT_TRUE(test_access::registered(upgraded));
    test_access::take_status_snapshot(upgraded, {0, R"({"daemonStatus":"NeedsLogin"})", ""});
    EXPECT_FALSE(test_access::registered(upgraded));

    write_file(data_dir() / "registration.json", R"({"registered": false})");
    application rebooted("ovra_vpn", dir);
    test_access::assume_registration_at_start(rebooted);
    EXPECT_FALSE(test_access::registered(rebooted));
    test_access::take_status_snapshot(rebooted, {0, R"({"daemonStatus":"Connected"})", ""});
    EXPECT_TRUE(test_access::registered(rebooted));
}

}  // namespace

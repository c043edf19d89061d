// The service process, the health verdict of a status poll and the watchdog's restart rule.

#include "app_test_fixture.hpp"
#include "harness.hpp"
#include "vpn_service.hpp"

#include <chrono>

using namespace std::chrono_literals;

namespace {

using test_access = application_test_access;
using result = command_result;

class ServiceTest : public app_test_fixture {
protected:
    application app{"ovra_vpn", dir};
};

TEST_F(ServiceTest, StartsOnceStopsAndRestarts) {
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

TEST_F(ServiceTest, ServiceThatEndedByItselfIsStillStoppedCleanly) {
    install_netbird("exit 2");
    test_access::start_service(app);
    ASSERT_TRUE(test_support::wait_for([&] { return !test_access::service_running(app); }));
    test_access::stop_service(app);
    EXPECT_EQ(log(), "[I] VPN service started\n[I] VPN service stopped\n");
}

TEST_F(ServiceTest, MissingExecutableLeavesNoServiceAndRestartStillClearsThePendingFlag) {
    test_access::set_pending_restart(app);
    test_access::restart_service(app);
    EXPECT_FALSE(test_access::service_running(app));
    EXPECT_FALSE(test_access::pending_restart(app));
    EXPECT_EQ(log(), "[E] VPN CLI not found at " + netbird_path().string() + "\n");
}

TEST(StatusVerdictTest, OnlyAJsonBooleanDecidesAndFailuresAreUnhealthy) {
    EXPECT_TRUE(vpn_service::status_is_healthy({0, R"({"management":{"connected":true}})", ""}));
    EXPECT_FALSE(vpn_service::status_is_healthy({0, R"({"management":{"connected":false,"url":"x"}})", ""}));
    EXPECT_FALSE(vpn_service::status_is_healthy({1, R"({"management":{"connected":true}})", ""}));
    EXPECT_FALSE(vpn_service::status_is_healthy({124, "", ""}));
}

TEST_F(ServiceTest, UnreadableStatusCountsAsHealthyWithAWarning) {
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

class WatchdogTest : public ServiceTest {
protected:
    static constexpr auto T = 300s;  // the default watchdog timeout
    const test_access::clock::time_point start = test_access::clock::now();

    WatchdogTest() {
        write(data_dir() / "config.json", "{}");
        test_access::set_started_at(app, start);
        test_access::set_desired_up(app, true);
    }

    void probe(bool healthy, test_access::clock::duration since_start) {
        test_access::on_health_probe(app, healthy, start + since_start);
    }
};

constexpr const char* LOST = "[W] VPN connectivity lost (management disconnected); will restart service if it persists\n";

TEST_F(WatchdogTest, LostManagementRestartsAfterEachFullTimeout) {
    install_netbird("exec sleep 30");
    probe(false, T);
    probe(false, T + 299s);
    EXPECT_EQ(log(), LOST);
    probe(false, 2 * T + 500ms);
    EXPECT_TRUE(test_access::service_running(app));
    probe(false, 3 * T - 1s);
    probe(false, 3 * T + 10s);
    EXPECT_EQ(log(), std::string(LOST) + "[W] VPN connectivity down for 300s, restarting service\n" +
                         "[I] VPN service started\n" + "[W] VPN connectivity down for 309s, restarting service\n" +
                         "[I] VPN service stopped\n[I] VPN service started\n");
}

TEST_F(WatchdogTest, RestoredConnectionEndsTheSpell) {
    probe(false, T);
    probe(true, T + 100s);
    probe(false, 2 * T);
    probe(false, 2 * T + 299s);
    EXPECT_EQ(log(), std::string(LOST) + "[I] VPN connectivity restored\n" + LOST);
}

TEST_F(WatchdogTest, NothingHappensDuringTheStartUpGrace) {
    probe(false, 0s);
    probe(false, T - 1s);
    EXPECT_EQ(log(), "");
    probe(false, T);
    EXPECT_EQ(log(), LOST);
}

TEST_F(WatchdogTest, NotArmedNeverRestartsAndForgetsTheSpell) {
    probe(false, T);
    test_access::set_desired_up(app, false);
    probe(false, 3 * T);
    test_access::set_desired_up(app, true);
    std::filesystem::remove(data_dir() / "config.json");
    probe(false, 4 * T);
    write(data_dir() / "config.json", "{}");
    write(data_dir() / "app.json", R"({"watchdog_enabled": false})");
    test_access::load_state(app);
    probe(false, 5 * T);
    EXPECT_EQ(log(), LOST);

    write(data_dir() / "app.json", R"({"watchdog_enabled": true, "watchdog_timeout": 60})");
    test_access::load_state(app);
    probe(false, 6 * T);
    probe(false, 6 * T + 59s);
    probe(false, 6 * T + 60s);
    EXPECT_EQ(log(), std::string(LOST) + LOST + "[W] VPN connectivity down for 60s, restarting service\n" +
                         "[E] VPN CLI not found at " + netbird_path().string() + "\n");
}

}  // namespace

namespace {

command_result client_reports(const std::string& daemon_status) {
    return {0, R"({"daemonStatus":")" + daemon_status + R"(","management":{"connected":false}})", ""};
}

std::string not_registered_line(const std::string& daemon_status) {
    return "[I] VPN client reports " + daemon_status +
           ": not registered, so the watchdog will not restart the service for the lost management connection\n";
}

TEST_F(WatchdogTest, AClientThatNeedsALoginIsNeverRestartedAndThatIsLoggedOnce) {
    install_netbird("exec sleep 30");
    for (int poll = 0; poll < 3; ++poll) test_access::take_status_snapshot(app, client_reports("NeedsLogin"));
    EXPECT_FALSE(test_access::registered(app));
    probe(false, T);
    probe(false, 2 * T + 1s);
    probe(false, 3 * T + 1s);
    EXPECT_FALSE(test_access::service_running(app));
    EXPECT_EQ(log(), not_registered_line("NeedsLogin"));

    // Logged in by other means: the watchdog counts from the next unhealthy poll on.
    test_access::take_status_snapshot(app, client_reports("Connecting"));
    EXPECT_TRUE(test_access::registered(app));
    probe(false, 4 * T);
    probe(false, 5 * T);
    EXPECT_TRUE(test_access::service_running(app));
}

TEST_F(WatchdogTest, LoginFailedIsNotRegisteredOnlyWhenTheClientNeverSaidRegistered) {
    install_netbird("exec sleep 30");
    // An `up` while management is unreachable ends in LoginFailed on a registered camera too: a
    // restart is what brings its connection attempts back.
    test_access::take_status_snapshot(app, client_reports("Connected"));
    test_access::take_status_snapshot(app, client_reports("LoginFailed"));
    EXPECT_TRUE(test_access::registered(app));
    probe(false, T);
    probe(false, 2 * T);
    EXPECT_TRUE(test_access::service_running(app));

    application other("ovra_vpn", dir);
    test_access::take_status_snapshot(other, client_reports("LoginFailed"));
    EXPECT_FALSE(test_access::registered(other));
    test_access::take_status_snapshot(other, client_reports("NeedsLogin"));
    test_access::take_status_snapshot(other, client_reports("LoginFailed"));
    EXPECT_FALSE(test_access::registered(other));
    EXPECT_EQ(log().find(not_registered_line("NeedsLogin")), std::string::npos) << "only the first change is logged";
}

TEST_F(ServiceTest, StartUpGuessesFromConfigJsonUntilTheClientsFirstWord) {
    const auto config = data_dir() / "config.json";
    // Missing before the service starts: the fresh one that the service writes registers nothing.
    test_access::assume_registration_at_start(app);
    write(config, "{}");
    EXPECT_FALSE(test_access::registered(app));
    EXPECT_FALSE(test_access::desired_up(app));

    application rebooted("ovra_vpn", dir);
    test_access::assume_registration_at_start(rebooted);
    EXPECT_TRUE(test_access::registered(rebooted));
    EXPECT_TRUE(test_access::desired_up(rebooted));
    test_access::take_status_snapshot(rebooted, {1, "", "Error: failed to connect to daemon"});
    test_access::take_status_snapshot(rebooted, {0, R"({"management":{"connected":false}})", ""});
    EXPECT_TRUE(test_access::desired_up(rebooted)) << "no daemonStatus settles nothing";
    test_access::take_status_snapshot(rebooted, client_reports("NeedsLogin"));
    EXPECT_FALSE(test_access::registered(rebooted));
    EXPECT_FALSE(test_access::desired_up(rebooted));

    // An operator's choice is never overridden by the client's first word.
    application operated("ovra_vpn", dir);
    test_access::assume_registration_at_start(operated);
    test_access::set_desired_up(operated, true);
    test_access::take_status_snapshot(operated, client_reports("NeedsLogin"));
    EXPECT_TRUE(test_access::desired_up(operated));
    std::filesystem::remove(config);
    test_access::take_status_snapshot(operated, client_reports("Connected"));
    EXPECT_FALSE(test_access::registered(operated)) << "no config.json, no registration";
}

}  // namespace

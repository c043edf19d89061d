// The NetBird service as the daemon runs it: started at start-up, its log copied, restarted when
// it dies, and never outliving the daemon.

#include "harness.hpp"
#include "inspect.hpp"

#include <gtest/gtest.h>
#include <string>

using namespace test_support;

namespace {

// The newest running service once it is not `previous` and has logged its start; -1 if none.
pid_t wait_for_service(staged_app& app, pid_t previous = -1) {
    pid_t pid = -1;
    wait_for([&] {
        const auto pids = service_pids(app.netbird());
        pid = pids.empty() ? -1 : pids.back();
        return pid > 0 && pid != previous && app.netbird_log().find("started daemon server: ") != std::string::npos;
    });
    return pid;
}

TEST(service, starts_with_the_daemon_logs_to_the_netbird_log_and_ends_with_it) {
    staged_app app;
    app.start();
    const pid_t service = wait_for_service(app);
    ASSERT_GT(service, 0) << app.netbird_log();
    EXPECT_TRUE(process_alive(service));
    EXPECT_NE(app.app_log().find("[I] VPN service started"), std::string::npos);

    const std::string netbird_log = app.netbird_log();
    EXPECT_NE(netbird_log.find(" INFO client/cmd/service_controller.go:27: starting NetBird service\n"), std::string::npos);
    EXPECT_NE(netbird_log.find("started daemon server: "), std::string::npos);
    EXPECT_EQ(netbird_log.find('\r'), std::string::npos);

    EXPECT_EQ(app.stop(), 0);
    EXPECT_TRUE(wait_for([&] { return !process_alive(service); }));
    EXPECT_NE(app.app_log().find("[I] VPN service stopped"), std::string::npos);
}

TEST(service, a_killed_service_is_started_again_by_the_watchdog) {
    staged_app app;
    app.start();
    const pid_t first = wait_for_service(app);
    ASSERT_GT(first, 0);

    ::kill(first, SIGKILL);
    // The next exit check finds it, a watchdog period away at most, and the first crash waits 5 s;
    // the wait leaves room for a slow run, and is still far shorter than a restart for lost
    // connectivity would take.
    ASSERT_TRUE(wait_for([&] { return occurrences(app.app_log(), "[I] VPN service started") == 2; }, 30s)) << app.app_log();
    EXPECT_NE(app.app_log().find("[W] The VPN service exited; it is started again in 5 s."), std::string::npos);
    const pid_t second = wait_for_service(app, first);
    EXPECT_NE(second, first);
    EXPECT_TRUE(process_alive(second));
    EXPECT_EQ(app.stop(), 0);
}

TEST(service, does_not_outlive_a_killed_daemon) {
    staged_app app;
    app.start();
    const pid_t service = wait_for_service(app);
    ASSERT_GT(service, 0);
    app.stop(SIGKILL);
    EXPECT_TRUE(wait_for([&] { return !process_alive(service); }));
}

TEST(service, missing_client_is_logged_and_the_api_keeps_serving) {
    staged_app::options options;
    options.with_netbird = false;
    staged_app app(options);
    app.start();
    const std::string log = app.app_log();
    EXPECT_NE(log.find("[E] VPN CLI not found at " + app.netbird().string()), std::string::npos)
        << log;
    EXPECT_EQ(log.find("VPN service started"), std::string::npos);
    EXPECT_EQ(app.client().get(API + "/status").status, 200);
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace

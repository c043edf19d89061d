// The lifecycle table: what each event does in each state, with made-up times.

#include "vpn_lifecycle.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace vpn_lifecycle;

namespace {

const status_report CONNECTED{"Connected", true, 2};
const status_report LOST_WITH_PEERS{"Connected", false, 2};
const status_report LOST_WITHOUT_PEERS{"Connecting", false, 0};

class lifecycle : public ::testing::Test {
protected:
    static constexpr auto T = 300s;  // the default watchdog timeout
    machine life{registration::registered};
    const clock::time_point t0 = clock::now();

    lifecycle() { EXPECT_EQ(life.service_started(t0), action::none); }

    // Answers `report` and ticks every 5 s from `from` to `to`; the first action other than none.
    action poll(const status_report& report, clock::duration from, clock::duration to) {
        for (auto at = from; at <= to; at += 5s) {
            life.status_answered(report, t0 + at);
            if (const action next = life.watchdog_tick(t0 + at); next != action::none) return next;
        }
        return action::none;
    }
};

TEST_F(lifecycle, working_tunnels_are_never_cut_for_lost_management) {
    EXPECT_EQ(poll(LOST_WITH_PEERS, 10s, 10s + 3 * T), action::none);
    EXPECT_EQ(life.current(), state::running);
    // Without a peer connected the restart comes after the timeout, and the next one twice as late.
    EXPECT_EQ(poll(LOST_WITHOUT_PEERS, 20s + 3 * T, 20s + 4 * T), action::restart_service);
    EXPECT_EQ(life.last_restart_cause(), restart_cause::lost_management);
    life.service_started(t0 + 4 * T);
    EXPECT_EQ(poll(LOST_WITHOUT_PEERS, 4 * T + 10s, 5 * T + 30s), action::none);
    EXPECT_EQ(poll(LOST_WITHOUT_PEERS, 5 * T + 35s, 6 * T + 30s), action::restart_service);
    // Ten minutes of health start the waits afresh.
    life.service_started(t0 + 7 * T);
    EXPECT_EQ(poll(CONNECTED, 7 * T, 7 * T + 10min), action::none);
    EXPECT_EQ(poll(LOST_WITHOUT_PEERS, 7 * T + 11min, 8 * T + 11min), action::restart_service);
}

TEST_F(lifecycle, no_restart_for_lost_management_unless_armed) {
    life.operator_down();
    EXPECT_EQ(poll(LOST_WITHOUT_PEERS, 10s, 3 * T), action::none);
    life.operator_up();
    life.set_timing({1s, 300, false});
    EXPECT_EQ(poll(LOST_WITHOUT_PEERS, 3 * T, 6 * T), action::none);
    EXPECT_EQ(life.status_unanswered(t0 + 6 * T), action::none);
    life.set_timing({});
    life.status_answered({"NeedsLogin", false, 0}, t0 + 6 * T);
    EXPECT_EQ(poll(LOST_WITHOUT_PEERS, 6 * T, 9 * T), action::none);
}

TEST_F(lifecycle, a_hung_service_is_restarted_after_the_timeout) {
    life.watchdog_tick(t0 + 10s);
    life.status_unanswered(t0 + 10s);
    EXPECT_EQ(life.current(), state::troubled);
    EXPECT_EQ(life.watchdog_tick(t0 + 10s + T - 1s), action::none);
    EXPECT_EQ(life.watchdog_tick(t0 + 10s + T), action::restart_service);
    EXPECT_EQ(life.last_restart_cause(), restart_cause::hung_service);
}

TEST_F(lifecycle, crashes_and_failed_starts_back_off_up_to_five_minutes) {
    life.watchdog_tick(t0 + 10s);
    life.service_exited(t0 + 60s);
    EXPECT_EQ(life.last_restart_cause(), restart_cause::crash);
    EXPECT_EQ(life.next_start_in(t0 + 60s), 5s);
    auto at = t0 + 60s;
    for (const auto wait : {5s, 10s, 20s, 40s, 80s, 160s, 300s, 300s}) {
        EXPECT_EQ(life.current(), state::waiting);
        EXPECT_EQ(life.watchdog_tick(at + wait - 1s), action::none);
        at += wait;
        EXPECT_EQ(life.watchdog_tick(at), action::start_service);
        life.service_started(at);
        life.service_exited(at + 1s);  // at once: a failure to start
        at += 1s;
        EXPECT_EQ(life.last_restart_cause(), restart_cause::start_failure);
    }
    EXPECT_EQ(life.service_failed_to_start(at), action::none) << "a failed start while waiting waits again";
    EXPECT_EQ(life.operator_restart(), action::restart_service);
    life.stopping();
    EXPECT_EQ(life.operator_restart(), action::none);
    EXPECT_EQ(life.service_started(at), action::none);
}

TEST_F(lifecycle, the_wish_down_is_kept_across_service_starts) {
    life.operator_down();
    EXPECT_EQ(life.service_started(t0 + 1s), action::send_down);
    EXPECT_EQ(life.operator_restart(), action::restart_service);
    EXPECT_EQ(life.service_started(t0 + 2s), action::send_down);
    life.operator_up();
    EXPECT_EQ(life.service_started(t0 + 3s), action::none);
}

TEST(lifecycle_registration, is_remembered_from_what_the_client_says) {
    machine life{registration::unknown};
    const auto now = clock::now();
    const auto says = [&](const std::string& daemon_status, bool management) {
        life.status_answered({daemon_status, management, 0}, now);
        return life.registered();
    };
    EXPECT_EQ(says("Connecting", false), registration::unknown);
    EXPECT_EQ(says("LoginFailed", false), registration::not_registered) << "never registered before";
    EXPECT_EQ(says("Idle", true), registration::registered);
    EXPECT_TRUE(life.registration_changed());
    EXPECT_FALSE(life.registration_changed());
    for (const char* kept : {"Connecting", "Idle", "LoginFailed"}) EXPECT_EQ(says(kept, false), registration::registered);
    EXPECT_EQ(says("NeedsLogin", false), registration::not_registered);
    life.logged_in();
    EXPECT_EQ(life.registered(), registration::registered);

    life.deregistration_started();
    EXPECT_TRUE(life.deregistering());
    life.deregistration_ended(false);
    EXPECT_FALSE(life.deregistering());
    EXPECT_EQ(life.registered(), registration::registered) << "a failed deregistration keeps it";
    life.deregistration_started();
    life.deregistration_ended(true);
    EXPECT_EQ(life.registered(), registration::not_registered);
}

}  // namespace

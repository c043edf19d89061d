// The hourly heartbeat (and the log compression it triggers) keeps to elapsed time, however often
// the watchdog wakes.

#include "application_test_access.hpp"
#include "time_utils.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

using test_access = application_test_access;
using time_point = time_utils::periodic::clock::time_point;

// How often the schedule is due when asked every `step` from `start` until `until`.
int times_due(time_utils::periodic& schedule, time_point start, std::chrono::seconds step, std::chrono::seconds until) {
    int due = 0;
    for (auto at = start + step; at <= start + until; at += step) due += schedule.due(at) ? 1 : 0;
    return due;
}

TEST(heartbeat_schedule, early_wake_ups_do_not_make_it_more_than_hourly) {
    const time_point start{};
    // A watchdog woken every second by commands, instead of every five seconds.
    time_utils::periodic busy(test_access::HEARTBEAT_PERIOD, start);
    EXPECT_EQ(times_due(busy, start, 1s, 3h), 3);
    time_utils::periodic idle(test_access::HEARTBEAT_PERIOD, start);
    EXPECT_EQ(times_due(idle, start, 5s, 3h), 3);
}

TEST(heartbeat_schedule, due_an_hour_after_the_start_and_an_hour_after_each_time) {
    const time_point start{};
    time_utils::periodic schedule(1h, start);
    EXPECT_FALSE(schedule.due(start));
    EXPECT_FALSE(schedule.due(start + 59min + 59s));
    EXPECT_TRUE(schedule.due(start + 1h + 3s));  // a late wake-up counts from when it came
    EXPECT_FALSE(schedule.due(start + 2h));
    EXPECT_TRUE(schedule.due(start + 2h + 3s));
}

TEST(heartbeat_schedule, a_long_gap_is_made_up_once_not_once_per_hour_missed) {
    const time_point start{};
    time_utils::periodic schedule(1h, start);
    EXPECT_TRUE(schedule.due(start + 5h));
    EXPECT_FALSE(schedule.due(start + 5h + 5s));
    EXPECT_FALSE(schedule.due(start + 5h + 10s));
    EXPECT_TRUE(schedule.due(start + 6h));
}

}  // namespace

#include "log_utils.hpp"

#include <gtest/gtest.h>
#include <string>

using namespace std::string_literals;

namespace {

TEST(log_utils_daily_date, finds_the_date_of_plain_and_compressed_daily_names_with_any_prefix) {
    EXPECT_EQ(log_utils::daily_log_date("app_2024-03-09.log"), "2024-03-09");
    EXPECT_EQ(log_utils::daily_log_date("app_2024-03-09.log.gz"), "2024-03-09");
    EXPECT_EQ(log_utils::daily_log_date("netbird_2024-03-09.log"), "2024-03-09");
    EXPECT_EQ(log_utils::daily_log_date("notes_2024-03-09.log"), "2024-03-09");
    EXPECT_EQ(log_utils::daily_log_date("_2024-03-09.log"), "2024-03-09");
    // The date only has to sort like one.
    EXPECT_EQ(log_utils::daily_log_date("app_2024-13-45.log"), "2024-13-45");
}

TEST(log_utils_daily_date, rejects_everything_else) {
    for (const char* name : {"app.log", "app_2024-03-09.txt", "app_2024-03-09.log.gz.tmp", "client.log",
                             "2024-03-09.log", "app-2024-03-09.log", "app_2024-03-9.log", "app_2024_03_09.log",
                             "app_2024-03-0x.log", "app_20240-3-09.log", ".gz", "app_2024-03-09.gz"})
        EXPECT_FALSE(log_utils::daily_log_date(name).has_value()) << name;
}

TEST(log_utils_families, app_and_netbird_daily_names_need_their_prefix_and_a_date) {
    EXPECT_TRUE(log_utils::is_app_log_name("app_2024-03-09.log"));
    EXPECT_TRUE(log_utils::is_app_log_name("app_2024-03-09.log.gz"));
    EXPECT_FALSE(log_utils::is_app_log_name("app.log"));
    EXPECT_FALSE(log_utils::is_app_log_name("netbird_2024-03-09.log"));
    EXPECT_FALSE(log_utils::is_app_log_name("xapp_2024-03-09.log"));

    EXPECT_TRUE(log_utils::is_netbird_daily_name("netbird_2024-03-09.log"));
    EXPECT_TRUE(log_utils::is_netbird_daily_name("netbird_2024-03-09.log.gz"));
    EXPECT_FALSE(log_utils::is_netbird_daily_name("netbird.log"));
    EXPECT_FALSE(log_utils::is_netbird_daily_name("app_2024-03-09.log"));
}

TEST(log_utils_families, netbird_own_logs_are_client_log_and_its_rotated_archives) {
    EXPECT_TRUE(log_utils::is_netbird_log_name("client.log"));
    EXPECT_TRUE(log_utils::is_netbird_log_name("client-2026-05-21T10-30-45.000.log.gz"));
    EXPECT_TRUE(log_utils::is_netbird_log_name("client-.log.gz"));
    for (const char* name : {"client.log.gz", "client-x.log", "client-x.log.gz.tmp", "client", "xclient.log",
                             "client-log.gz", "netbird_2024-03-09.log"})
        EXPECT_FALSE(log_utils::is_netbird_log_name(name)) << name;
}

TEST(log_utils_safe_name, accepts_bare_names_up_to255_bytes_with_any_other_byte) {
    EXPECT_TRUE(log_utils::is_safe_log_name("a"));
    EXPECT_TRUE(log_utils::is_safe_log_name(".hidden file.log"));
    EXPECT_TRUE(log_utils::is_safe_log_name("a.b.c"));
    EXPECT_TRUE(log_utils::is_safe_log_name("caf\xc3\xa9 \x80\xff"));
    EXPECT_TRUE(log_utils::is_safe_log_name(std::string(255, 'a')));
}

TEST(log_utils_safe_name, refuses_empty_long_traversing_and_separator_or_control_bytes) {
    EXPECT_FALSE(log_utils::is_safe_log_name(""));
    EXPECT_FALSE(log_utils::is_safe_log_name(std::string(256, 'a')));
    for (const std::string& name : {".."s, "a..b"s, "app_..log"s, "a/b"s, "a\\b"s, "a\"b"s, "a\x7f"s, "a\x1f"s,
                                   "a\nb"s, "a\tb"s, "a\0b"s})
        EXPECT_FALSE(log_utils::is_safe_log_name(name)) << name;
}

TEST(log_utils_used_percent, rounds_to_the_nearest_percent_with_halves_up) {
    EXPECT_EQ(log_utils::used_percent(1000, 333), 67);
    EXPECT_EQ(log_utils::used_percent(1000, 335), 67);
    EXPECT_EQ(log_utils::used_percent(1000, 336), 66);
    EXPECT_EQ(log_utils::used_percent(1000, 0), 100);
    EXPECT_EQ(log_utils::used_percent(1000, 1000), 0);
}

TEST(log_utils_used_percent, reports_nothing_used_for_odd_file_systems) {
    EXPECT_EQ(log_utils::used_percent(1000, 2000), 0);
    EXPECT_EQ(log_utils::used_percent(0, 0), 0);
    EXPECT_EQ(log_utils::used_percent(0, 5), 0);
}

}  // namespace

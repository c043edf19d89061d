// The validation rules of settings and NetBird environment keys, the tunnel arguments of `up`,
// and the readers of the debug-bundle output.

#include "log_levels.hpp"
#include "netbird_utils.hpp"
#include "settings_table.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

using ::testing::ElementsAre;

namespace {

TEST(rules, env_keys_need_the_nb_prefix_and_upper_case_ascii_only) {
    for (const char* key : {"NB_", "NB_LOG_LEVEL", "NB_9", "NB_CONFIG"})
        EXPECT_TRUE(netbird_utils::is_valid_env_key(key)) << key;
    for (const char* key : {"", "NB", "nb_x", "NB_A-B", "NB_A B", "XNB_A", "HOME", "NB_\xC3\x84"})
        EXPECT_FALSE(netbird_utils::is_valid_env_key(key)) << key;
}

TEST(rules, reserved_env_keys_are_told_apart_from_free_ones) {
    for (const char* key : {"NB_CONFIG", "NB_STATE_DIR", "NB_MANAGEMENT_URL"}) {
        EXPECT_TRUE(netbird_utils::is_protected_env_key(key)) << key;
        EXPECT_FALSE(netbird_utils::is_flag_mapped_env_key(key)) << key;
    }
    for (const char* key : {"NB_MTU", "NB_WIREGUARD_PORT", "NB_INTERFACE_NAME", "NB_EXTERNAL_IP_MAP"}) {
        EXPECT_TRUE(netbird_utils::is_flag_mapped_env_key(key)) << key;
        EXPECT_FALSE(netbird_utils::is_protected_env_key(key)) << key;
    }
    for (const char* key : {"NB_LOG_LEVEL", "nb_config", "NB_CONFIG_"}) {
        EXPECT_FALSE(netbird_utils::is_protected_env_key(key)) << key;
        EXPECT_FALSE(netbird_utils::is_flag_mapped_env_key(key)) << key;
    }
    EXPECT_TRUE(netbird_utils::is_hidden_system_key("XDG_CONFIG_HOME"));
    EXPECT_FALSE(netbird_utils::is_hidden_system_key("NB_STATE_DIR"));
}

TEST(rules, interface_names_hold_one_to_fifteen_bytes_of_the_allowed_class) {
    for (const std::string& name : std::vector<std::string>{"wt0", "x", "tun-1_X", std::string(15, 'a')})
        EXPECT_TRUE(netbird_utils::is_valid_interface_name(name)) << name;
    for (const std::string& name : std::vector<std::string>{"", std::string(16, 'a'), "wt 0", "wt.0", "wt/0", "wt\xC3\xA4"})
        EXPECT_FALSE(netbird_utils::is_valid_interface_name(name)) << name;
}

TEST(rules, external_ip_map_follows_netbirds_own_check_with_the_address_first) {
    const auto only_eth1 = [](const std::string& name) { return name == "eth1"; };
    for (const char* map : {"", "12.34.56.78", "12.34.56.200,12.34.56.78/10.0.0.1,12.34.56.80/eth1",
                            "2001:db8::1/fe80::1", "203.0.113.5/eth1"})
        EXPECT_TRUE(netbird_utils::is_valid_external_ip_map(map, only_eth1)) << map;
    for (const char* map : {",", "1.2.3.4,", ",1.2.3.4", "1.2.3.4,,5.6.7.8",  // empty elements
                            "1.2.3.4/5.6.7.8/9.9.9.9", "1.2.3.4/", "/1.2.3.4",  // structure
                            "eth1", "eth1/1.2.3.4", "1.2.3.4/eth2", "1.2.3.4 ", "01.2.3.4", "1.2.3",
                            "256.1.1.1", "fe80::1%eth1", "1.2.3.4;5.6.7.8"})
        EXPECT_FALSE(netbird_utils::is_valid_external_ip_map(map, only_eth1)) << map;
}

TEST(rules, overrides_that_would_take_over_the_client_or_carry_a_secret_are_unusable_in_both_spellings) {
    for (const char* name : {"NB_DAEMON_ADDR", "NB_LOG_FILE", "NB_SETUP_KEY", "NB_SETUP_KEY_FILE", "NB_PROFILE",
                             "NB_FOREGROUND_MODE", "NB_ENABLE_LAZY_CONNECTION", "NB_DISABLE_AUTO_CONNECT",
                             "NB_PRESHARED_KEY", "NB_CONFIG", "NB_MTU", "WT_DAEMON_ADDR", "WT_SETUP_KEY",
                             "WT_CONFIG", "WT_EXTERNAL_IP_MAP"})
        EXPECT_TRUE(netbird_utils::is_unusable_override(name, "x")) << name;
    for (const char* name : {"NB_FORCE_RELAY", "NB_LOG_MAX_SIZE_MB", "WT_FORCE_RELAY", "NB_NETSTACK_SKIP_PROXY",
                             "nb_setup_key", "NB_SETUP_KEYS", "XWT_CONFIG"})
        EXPECT_FALSE(netbird_utils::is_unusable_override(name, "x")) << name;
    EXPECT_TRUE(netbird_utils::is_secret_env_key("NB_SETUP_KEY"));
    EXPECT_FALSE(netbird_utils::is_contract_env_key("NB_SETUP_KEY"));
    EXPECT_TRUE(netbird_utils::is_contract_env_key("NB_SETUP_KEY_FILE"));
    EXPECT_EQ(netbird_utils::netbird_spelling("WT_LOG_LEVEL"), "NB_LOG_LEVEL");
    EXPECT_EQ(netbird_utils::netbird_spelling("NB_WT_X"), "NB_WT_X");
}

TEST(rules, a_log_level_override_must_be_one_that_netbirds_logger_parses) {
    for (const char* level : {"panic", "fatal", "error", "warn", "warning", "info", "debug", "trace", "DEBUG", "Warn"})
        EXPECT_FALSE(netbird_utils::is_unusable_override("NB_LOG_LEVEL", level)) << level;
    for (const char* level : {"", "verbose", "critical", "off", "info ", "deb ug"}) {
        EXPECT_TRUE(netbird_utils::is_unusable_override("NB_LOG_LEVEL", level)) << level;
        EXPECT_TRUE(netbird_utils::is_unusable_override("WT_LOG_LEVEL", level)) << level;
    }
    EXPECT_FALSE(netbird_utils::is_unusable_override("NB_FORCE_RELAY", "verbose"));
}

TEST(rules, the_override_budget_counts_entries_and_environment_bytes) {
    std::map<std::string, std::string> overrides;
    for (std::size_t i = 0; i < netbird_utils::MAX_ENV_OVERRIDES; ++i) overrides["NB_K" + std::to_string(i)] = "v";
    EXPECT_TRUE(netbird_utils::is_within_env_budget(overrides));
    overrides["NB_ONE_MORE"] = "v";
    EXPECT_FALSE(netbird_utils::is_within_env_budget(overrides));

    // "NB_BIG=" plus the value plus the terminator fills the byte budget exactly.
    const std::size_t fill = netbird_utils::MAX_ENV_OVERRIDE_BYTES - std::string("NB_BIG").size() - 2;
    std::map<std::string, std::string> big{{"NB_BIG", std::string(fill, 'x')}};
    EXPECT_TRUE(netbird_utils::is_within_env_budget(big));
    big["NB_BIG"] += 'x';
    EXPECT_FALSE(netbird_utils::is_within_env_budget(big));
}

TEST(rules, setting_names_and_log_levels_are_case_sensitive) {
    EXPECT_NE(settings_table::find("mtu"), nullptr);
    EXPECT_NE(settings_table::find("management_url"), nullptr);
    EXPECT_EQ(settings_table::find("MTU"), nullptr);
    EXPECT_EQ(settings_table::find("Log_Level"), nullptr);
    EXPECT_EQ(settings_table::find("setup_key"), nullptr);
    EXPECT_TRUE(log_levels::is_known("warning"));
    for (const char* level : {"warn", "INFO", "Info", ""})
        EXPECT_FALSE(log_levels::is_known(level)) << level;
}

TEST(rules, log_level_names_map_to_logger_levels_with_info_for_anything_else) {
    EXPECT_EQ(log_levels::from_name("trace"), spdlog::level::trace);
    EXPECT_EQ(log_levels::from_name("debug"), spdlog::level::debug);
    EXPECT_EQ(log_levels::from_name("warning"), spdlog::level::warn);
    EXPECT_EQ(log_levels::from_name("error"), spdlog::level::err);
    EXPECT_EQ(log_levels::from_name("critical"), spdlog::level::critical);
    EXPECT_EQ(log_levels::from_name("off"), spdlog::level::off);
    EXPECT_EQ(log_levels::from_name("warn"), spdlog::level::info);
    EXPECT_EQ(log_levels::from_name("INFO"), spdlog::level::info);
}

TEST(rules, integer_text_reads_like_strtol_narrowed_to_32_bits) {
    using settings_table::parse_integer_text;
    EXPECT_EQ(parse_integer_text("45s"), 45);
    EXPECT_EQ(parse_integer_text(" 30"), 30);
    EXPECT_EQ(parse_integer_text("\t\n+7"), 7);
    EXPECT_EQ(parse_integer_text("-12abc"), -12);
    EXPECT_EQ(parse_integer_text("007"), 7);
    EXPECT_EQ(parse_integer_text("2147483647"), 2147483647);
    EXPECT_EQ(parse_integer_text("-2147483648"), -2147483647 - 1);
    for (const char* text : {"", "   ", "abc", "-", "+", "+-5", "- 5", "s45", "2147483648", "99999999999",
                             "-2147483649", "e3"})
        EXPECT_EQ(parse_integer_text(text), std::nullopt) << text;
}

TEST(rules, bundle_path_is_the_trimmed_zip_path_right_after_its_marker) {
    using netbird_utils::parse_debug_bundle_path;
    EXPECT_EQ(parse_debug_bundle_path("Generating...\r\n  Local file: \r\n/tmp/b.zip \t\r\nDone\n"), "/tmp/b.zip");
    EXPECT_EQ(parse_debug_bundle_path("Local file:\n/tmp/b.zip"), "/tmp/b.zip");
    // A marker right after a marker counts as the new one.
    EXPECT_EQ(parse_debug_bundle_path("Local file:\nLocal file:\n/a.zip\n"), "/a.zip");
    EXPECT_EQ(parse_debug_bundle_path("Local file:\n/first.zip\nLocal file:\n/second.zip\n"), "/first.zip");
    for (const char* output : {"", "Local file:", "Local file:\n\n/tmp/b.zip\n", "Local file:\ntmp/b.zip\n",
                               "Local file:\n/tmp/b.tar\n", "Local file:\n.zip\n", "Local file: /tmp/b.zip\n",
                               "Local file:\nnoise\n/tmp/b.zip\n", "/tmp/b.zip\n"})
        EXPECT_EQ(parse_debug_bundle_path(output), std::nullopt) << output;
}

TEST(rules, upload_key_is_the_next_non_empty_line_with_inner_blanks_kept) {
    using netbird_utils::parse_debug_bundle_upload_key;
    EXPECT_EQ(parse_debug_bundle_upload_key("Upload file key:\n  ab12/c d-e \r\n"), "ab12/c d-e");
    EXPECT_EQ(parse_debug_bundle_upload_key("x\nUpload file key:\r\nanything: at all"), "anything: at all");
    for (const char* output : {"", "Upload file key:\n", "Upload file key:\n \t\nkey\n", "Upload file key: key\n"})
        EXPECT_EQ(parse_debug_bundle_upload_key(output), std::nullopt) << output;
}

}  // namespace

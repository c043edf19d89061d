// The validation rules of settings and NetBird environment keys, the tunnel arguments of `up`,
// and the readers of the debug-bundle output.

#include "log_levels.hpp"
#include "netbird_utils.hpp"
#include "settings_table.hpp"
#include "text_utils.hpp"

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
    EXPECT_EQ(netbird_utils::external_ip_map_interfaces("1.2.3.4/eth1,5.6.7.8,9.9.9.9/10.0.0.1,8.8.8.8/br-x"),
              (std::vector<std::string>{"eth1", "br-x"}));
    for (const char* name : {"lo", "wt0", "docker", "br-", "veth"}) EXPECT_TRUE(netbird_utils::is_ignored_interface(name));
    for (const char* name : {"eth0", "docker0", "br-lan", "LO"}) EXPECT_FALSE(netbird_utils::is_ignored_interface(name));
}

TEST(rules, overrides_that_would_take_over_the_client_or_carry_a_secret_are_unusable_in_both_spellings) {
    for (const char* name : {"NB_DAEMON_ADDR", "NB_LOG_FILE", "NB_SETUP_KEY", "NB_SETUP_KEY_FILE", "NB_PROFILE",
                             "NB_FOREGROUND_MODE", "NB_ENABLE_LAZY_CONNECTION", "NB_DISABLE_AUTO_CONNECT",
                             "NB_PRESHARED_KEY", "NB_CONFIG", "NB_MTU", "WT_DAEMON_ADDR", "WT_SETUP_KEY",
                             "WT_CONFIG", "WT_EXTERNAL_IP_MAP", "NB_NETSTACK_SKIP_PROXY", "WT_USE_NETSTACK_MODE",
                             "NB_ENABLE_NETSTACK_LOCAL_FORWARDING", "NB_SOCKS5_LISTENER_PORT",
                             "NB_DISABLE_UPDATE_SETTINGS", "NB_ENABLE_CAPTURE"})
        EXPECT_TRUE(netbird_utils::is_unusable_override(name, "x")) << name;
    for (const char* name : {"NB_FORCE_RELAY", "NB_LOG_MAX_SIZE_MB", "WT_FORCE_RELAY", "NB_NETSTACK_SKIP_PROXY_X",
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

// The values NetBird's `up` would refuse, failing every up: netip.ParseAddrPort, its domain
// pattern for extra labels, and url.ParseRequestURI with an http(s) scheme.
TEST(rules, overrides_netbird_parses_itself_are_checked_with_its_rules) {
    const std::pair<const char*, std::vector<const char*>> accepted[] = {
        {"NB_DNS_RESOLVER_ADDRESS", {"127.0.0.1:53", "[::1]:5353", "[fe80::1%eth0]:53", "10.0.0.1:065535"}},
        {"NB_EXTRA_DNS_LABELS", {"cam", "cam-1.site", "*.cams.example", "_svc.cam,Other", "xn--bcher-kva"}},
        {"NB_ADMIN_URL", {"https://app.example", "HTTP://10.0.0.1:8080/admin?x=%20", "https://u:p@[::1]:443/"}},
        {"NB_LOG_LEVEL", {"Debug"}},
    };
    const std::pair<const char*, std::vector<const char*>> refused[] = {
        {"NB_DNS_RESOLVER_ADDRESS", {"127.0.0.1", "::1:53", "[127.0.0.1]:53", "host:53", "1.2.3.4:65536",
                                     "1.2.3.4:+53", ":53", "01.2.3.4:53", "[::1]:"}},
        {"NB_EXTRA_DNS_LABELS", {"", "a,,b", "a, b", "-cam", "cam-", "a..b", "cam.", "_cam", "\"cam\"",
                                 "caf\xC3\xA9", "a b"}},
        {"NB_ADMIN_URL", {"app.example", "ftp://app.example", "https://", "https://host:port", "https://a b",
                          "https://host/%zz", "https:app.example"}},
        {"NB_LOG_LEVEL", {"verbose"}},
    };
    for (const auto& [name, values] : accepted)
        for (const char* value : values)
            EXPECT_EQ(netbird_utils::override_value_refusal(name, value), std::nullopt) << name << "=" << value;
    for (const auto& [name, values] : refused)
        for (const char* value : values) {
            EXPECT_TRUE(netbird_utils::override_value_refusal(name, value).has_value()) << name << "=" << value;
            EXPECT_TRUE(netbird_utils::is_unusable_override(name, value)) << name << "=" << value;
        }
    std::string labels = "a";
    for (int i = 1; i < 32; ++i) labels += ",a";
    EXPECT_TRUE(netbird_utils::is_valid_dns_label_list(labels));
    EXPECT_FALSE(netbird_utils::is_valid_dns_label_list(labels + ",a"));
    EXPECT_TRUE(netbird_utils::is_valid_dns_label_list(std::string(63, 'a')));
    EXPECT_FALSE(netbird_utils::is_valid_dns_label_list(std::string(64, 'a')));
}

TEST(rules, setup_keys_are_uuids_in_any_form_that_netbird_parses) {
    for (const char* key : {"5E7B1C2A-9D44-4F1B-8C3E-FA17C0DE5EED", "5e7b1c2a9d444f1b8c3efa17c0de5eed",
                            "{5e7b1c2a-9d44-4f1b-8c3e-fa17c0de5eed}", "URN:uuid:5e7b1c2a-9d44-4f1b-8c3e-fa17c0de5eed",
                            " 5E7B1C2A-9D44-4F1B-8C3E-FA17C0DE5EED\n"})
        EXPECT_TRUE(netbird_utils::is_valid_setup_key(key)) << key;
    for (const char* key : {"", "k", "5E7B1C2A-9D44-4F1B-8C3E-FA17C0DE5EE", "5E7B1C2A-9D44-4F1B-8C3E-FA17C0DE5EEG",
                            "5E7B1C2A9D44-4F1B-8C3E-FA17C0DE5EED-", "{5E7B1C2A-9D44-4F1B-8C3E-FA17C0DE5EED",
                            "5E7B1C2A-9D44-4F1B-8C3E-FA17C0DE5E\nED"})
        EXPECT_FALSE(netbird_utils::is_valid_setup_key(key)) << key;
}

// Bytes that would forge a log line or be stored differently after a restart are refused; the
// log form of a value shows control bytes as escapes.
TEST(rules, submitted_values_must_be_printable_utf8_and_logs_escape_control_bytes) {
    for (const char* text : {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"})
        EXPECT_TRUE(text_utils::is_printable_utf8(text)) << text;
    for (const std::string& text : {std::string("a\nb"), std::string("a\0b", 3), std::string("\x1b[31m"), std::string("\x7f"),
                                   std::string("\xC2\x85"), std::string("\xff"), std::string("\xC3"),
                                   std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80")})
        EXPECT_FALSE(text_utils::is_printable_utf8(text)) << text;
    EXPECT_EQ(text_utils::escape_controls("a\nfake line\x1b[0m\x7f\xC3\xA9"), "a\\x0afake line\\x1b[0m\\x7f\xC3\xA9");
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

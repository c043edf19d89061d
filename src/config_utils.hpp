#pragma once
// The application's own setting names and log levels, and how setting text becomes an integer.

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <spdlog/common.h>
#include <string_view>

namespace config_utils {

inline constexpr std::array<std::string_view, 9> CONFIG_KEYS{
    "management_url", "watchdog_enabled", "watchdog_timeout", "log_retention_days", "log_level",
    "wireguard_port", "external_ip_map",  "mtu",              "interface_name"};

// Settings that become `up` flags: a change reaches the tunnel only with the next up or reconnect.
inline constexpr std::array<std::string_view, 4> TUNNEL_KEYS{
    "wireguard_port", "external_ip_map", "mtu", "interface_name"};

inline constexpr std::array<std::string_view, 7> LEVELS{
    "trace", "debug", "info", "warning", "error", "critical", "off"};

inline bool is_valid_config_key(std::string_view key) {
    return std::find(CONFIG_KEYS.begin(), CONFIG_KEYS.end(), key) != CONFIG_KEYS.end();
}

inline bool is_tunnel_key(std::string_view key) {
    return std::find(TUNNEL_KEYS.begin(), TUNNEL_KEYS.end(), key) != TUNNEL_KEYS.end();
}

inline bool is_valid_log_level(std::string_view name) {
    return std::find(LEVELS.begin(), LEVELS.end(), name) != LEVELS.end();
}

// Anything unknown, "info" included, runs at info.
inline spdlog::level::level_enum log_level_from_name(std::string_view name) {
    namespace level = spdlog::level;
    if (name == "trace") return level::trace;
    if (name == "debug") return level::debug;
    if (name == "warning") return level::warn;
    if (name == "error") return level::err;
    if (name == "critical") return level::critical;
    if (name == "off") return level::off;
    return level::info;
}

// Reads setting text the way decimal strtol does (leading white space, one sign, the digit run,
// anything after it ignored), narrowed to 32 bits. Empty when no digit follows or it overflows.
inline std::optional<int> parse_integer_text(std::string_view text) {
    const auto start = text.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string_view::npos) return std::nullopt;
    text.remove_prefix(start);
    const bool negative = text.front() == '-';
    if (negative || text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    // from_chars reads the minus itself, so the digits keep it in front of them.
    const char* first = negative ? text.data() - 1 : text.data();
    int value = 0;
    if (std::from_chars(first, text.data() + text.size(), value).ec != std::errc{}) return std::nullopt;
    return value;
}

}  // namespace config_utils

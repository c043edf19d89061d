#pragma once
// NetBird-facing rules and tables: which environment variables an operator may override, the shape
// of the tunnel values, the tunnel arguments of `up`, and the lines read from `debug bundle`.
// Every rule compares bytes exactly against fixed ASCII classes: no locale, no case folding.

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netbird_utils {

// Fixed by the system itself (config file, state directory, management URL).
inline constexpr std::array<std::string_view, 3> PROTECTED_KEYS{
    "NB_CONFIG", "NB_STATE_DIR", "NB_MANAGEMENT_URL"};

// Environment forms of the `up` flags that the tunnel settings already set.
inline constexpr std::array<std::string_view, 4> FLAG_MAPPED_KEYS{
    "NB_WIREGUARD_PORT", "NB_INTERFACE_NAME", "NB_MTU", "NB_EXTERNAL_IP_MAP"};

// Given to NetBird but never listed to the web page.
inline constexpr std::array<std::string_view, 2> HIDDEN_SYSTEM_KEYS{"HOME", "XDG_CONFIG_HOME"};

// A suggestion for the web page; applied only when the operator stores it as an override.
struct env_preset {
    std::string_view name;
    std::string_view description;
    std::string_view default_value;
};

inline constexpr std::array<env_preset, 3> ENV_PRESETS{{
    {"NB_LOG_LEVEL", "Set NetBird log level.", "info"},
    {"NB_FORCE_RELAY", "Force relay connections.", "true"},
    {"NB_LAZY_CONN_INACTIVITY_THRESHOLD", "Idle timeout before a lazy connection closes.", "15m"},
}};

inline constexpr std::string_view NETBIRD_DEFAULT_INTERFACE = "wt0";

// Name prefix of the private files that hand a setup key to `up`; start-up removes leftovers.
inline constexpr std::string_view SETUP_KEY_FILE_PREFIX = "setup-key-";

inline constexpr std::size_t MAX_INTERFACE_NAME_BYTES = 15;  // IFNAMSIZ without the terminator

namespace detail {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
inline bool is_lower(char c) { return c >= 'a' && c <= 'z'; }

template <std::size_t N>
bool is_one_of(std::string_view key, const std::array<std::string_view, N>& table) {
    return std::find(table.begin(), table.end(), key) != table.end();
}

inline std::string_view trim_blanks(std::string_view line) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

// The first trimmed line that directly follows a line equal to marker and that accept takes.
// A line accept refuses clears the mark, so the value must be on the very next line.
template <typename Accept>
std::optional<std::string> line_after_marker(std::string_view output, std::string_view marker,
                                             Accept accept) {
    bool marked = false;
    while (true) {
        const auto newline = output.find('\n');
        const std::string_view line = trim_blanks(output.substr(0, newline));
        if (marked && accept(line)) return std::string(line);
        marked = line == marker;
        if (newline == std::string_view::npos) return std::nullopt;
        output.remove_prefix(newline + 1);
    }
}

}  // namespace detail

inline bool is_valid_env_key(std::string_view key) {
    return key.size() >= 3 && key.substr(0, 3) == "NB_" &&
           std::all_of(key.begin(), key.end(), [](char c) {
               return detail::is_upper(c) || detail::is_digit(c) || c == '_';
           });
}

inline bool is_protected_env_key(std::string_view key) { return detail::is_one_of(key, PROTECTED_KEYS); }

inline bool is_flag_mapped_env_key(std::string_view key) {
    return detail::is_one_of(key, FLAG_MAPPED_KEYS);
}

inline bool is_hidden_system_key(std::string_view key) {
    return detail::is_one_of(key, HIDDEN_SYSTEM_KEYS);
}

// Only the character set: the pair structure is left to NetBird.
inline bool is_valid_external_ip_map(std::string_view map) {
    return std::all_of(map.begin(), map.end(), [](char c) {
        return detail::is_digit(c) || c == '.' || c == '/' || c == ',';
    });
}

inline bool is_valid_interface_name(std::string_view name) {
    return !name.empty() && name.size() <= MAX_INTERFACE_NAME_BYTES &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return detail::is_upper(c) || detail::is_lower(c) || detail::is_digit(c) ||
                      c == '_' || c == '-';
           });
}

inline bool is_valid_wireguard_port(int port) { return port >= 1 && port <= 65535; }

inline bool is_valid_mtu(int mtu) { return mtu >= 576 && mtu <= 8192; }

// The tunnel flags of `up`, always all four: an empty map is passed as an empty argument.
inline std::vector<std::string> tunnel_up_args(int wireguard_port, int mtu,
                                               std::string_view interface_name,
                                               std::string_view external_ip_map) {
    return {"--wireguard-port", std::to_string(wireguard_port),
            "--mtu",            std::to_string(mtu),
            "--interface-name", std::string(interface_name),
            "--external-ip-map", std::string(external_ip_map)};
}

// The zip path that `debug bundle` prints on the line after "Local file:".
inline std::optional<std::string> parse_debug_bundle_path(std::string_view output) {
    return detail::line_after_marker(output, "Local file:", [](std::string_view line) {
        return line.size() > 4 && line.front() == '/' && line.substr(line.size() - 4) == ".zip";
    });
}

// The key that `debug bundle --upload-bundle` prints on the line after "Upload file key:".
inline std::optional<std::string> parse_debug_bundle_upload_key(std::string_view output) {
    return detail::line_after_marker(output, "Upload file key:",
                                     [](std::string_view line) { return !line.empty(); });
}

}  // namespace netbird_utils

#pragma once
// NetBird-facing rules and tables: which environment variables an operator may override, the shape
// of the tunnel values, the tunnel arguments of `up`, and the lines read from `debug bundle`.
// Every rule compares bytes exactly against fixed ASCII classes: no locale, no case folding.

#include <arpa/inet.h>
#include <netinet/in.h>

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

// NetBird reads these as the flags through which the system drives it (socket, log file, key
// file, profile, daemon mode, per-request choices); an override would take that contract over.
inline constexpr std::array<std::string_view, 8> CONTRACT_KEYS{
    "NB_DAEMON_ADDR", "NB_LOG_FILE",          "NB_SETUP_KEY_FILE",         "NB_PROFILE",
    "NB_FOREGROUND_MODE", "NB_ENABLE_LAZY_CONNECTION", "NB_DISABLE_AUTO_CONNECT", "NB_ANONYMIZE"};

// Their values are secrets, which must never be stored, logged or listed.
inline constexpr std::array<std::string_view, 2> SECRET_KEYS{"NB_SETUP_KEY", "NB_PRESHARED_KEY"};

// Names whose change would open, break or silently empty the camera, with the reason shown to the
// operator. The first three are set by the system itself (see system_env).
struct guarded_key {
    std::string_view name;
    std::string_view reason;
};
inline constexpr std::array<guarded_key, 6> GUARDED_KEYS{{
    {"NB_NETSTACK_SKIP_PROXY",
     "Kept true: any other value opens an unauthenticated SOCKS5 proxy into the VPN on every address of the "
     "camera."},
    {"NB_USE_NETSTACK_MODE",
     "Kept true: kernel mode changes the camera's routes, DNS and firewall, which a killed client never undoes."},
    {"NB_ENABLE_NETSTACK_LOCAL_FORWARDING",
     "Kept true: otherwise the camera's own services cannot be reached over the VPN."},
    {"NB_SOCKS5_LISTENER_PORT", "Moves the SOCKS5 proxy that the system keeps switched off."},
    {"NB_DISABLE_UPDATE_SETTINGS",
     "Makes the client drop every tunnel setting while the camera reports it applied."},
    {"NB_ENABLE_CAPTURE", "Turns on packet capture of the VPN traffic."},
}};

// Overrides whose value NetBird parses itself: a value its rule refuses fails every command that
// reads it, so it is refused here with the same rule.
struct override_value_rule {
    std::string_view name;
    bool (*accepts)(std::string_view value);
    std::string_view refusal_message;
};

// The log levels NetBird's logger accepts (logrus), in any letter case.
inline constexpr std::array<std::string_view, 8> NETBIRD_LOG_LEVELS{
    "panic", "fatal", "error", "warn", "warning", "info", "debug", "trace"};

// A child's environment must stay far below what execve accepts (ARG_MAX, 128 KiB per string).
inline constexpr std::size_t MAX_ENV_OVERRIDES = 64;
inline constexpr std::size_t MAX_ENV_OVERRIDE_BYTES = 32 * 1024;

// Given to NetBird but never listed to the web page.
inline constexpr std::array<std::string_view, 3> HIDDEN_SYSTEM_KEYS{"HOME", "XDG_CONFIG_HOME", "USER"};

// A suggestion for the web page; applied only when the operator stores it as an override.
struct env_preset {
    std::string_view name;
    std::string_view description;
    std::string_view default_value;
};

inline constexpr std::array<env_preset, 3> ENV_PRESETS{{
    {"NB_LOG_LEVEL", "Set NetBird log level.", "info"},
    {"NB_FORCE_RELAY", "Force relay connections.", "true"},
    {"NB_LAZY_CONN_INACTIVITY_THRESHOLD", "Idle time in whole minutes before a lazy connection closes.", "15"},
}};

inline constexpr std::string_view NETBIRD_DEFAULT_INTERFACE = "wt0";
inline constexpr std::string_view NETBIRD_DEFAULT_MANAGEMENT_URL = "https://api.netbird.io:443";

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

// NetBird reads every flag also as WT_<FLAG>: the NB_ spelling of such a name.
inline std::string netbird_spelling(std::string_view key) {
    if (key.substr(0, 3) == "WT_") return "NB_" + std::string(key.substr(3));
    return std::string(key);
}

inline bool is_contract_env_key(std::string_view key) { return detail::is_one_of(key, CONTRACT_KEYS); }

inline bool is_secret_env_key(std::string_view key) { return detail::is_one_of(key, SECRET_KEYS); }

// Why the name may not be overridden, when it is guarded.
inline std::optional<std::string_view> guarded_key_reason(std::string_view key) {
    for (const guarded_key& guarded : GUARDED_KEYS)
        if (guarded.name == key) return guarded.reason;
    return std::nullopt;
}

inline bool is_valid_netbird_log_level(std::string_view level) {
    std::string lower(level);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return detail::is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; });
    return detail::is_one_of(std::string_view(lower), NETBIRD_LOG_LEVELS);
}

// Go's netip.ParseAddrPort: IPv4:port or [IPv6]:port, the port decimal up to 65535.
bool is_address_and_port(std::string_view text);

// NetBird's check of --extra-dns-labels: a comma-separated list of at most 32 domain names, each
// ASCII, optionally after "*.".
bool is_valid_dns_label_list(std::string_view list);

// NetBird's check of a service URL (url.ParseRequestURI, scheme http or https), and a host.
bool is_http_url(std::string_view text);

// A setup key in a form NetBird's registration accepts (a UUID as uuid.Parse reads it), after the
// trimming of blanks that NetBird applies to a key file.
bool is_valid_setup_key(std::string_view key);

inline constexpr std::array<override_value_rule, 4> OVERRIDE_VALUE_RULES{{
    {"NB_LOG_LEVEL", is_valid_netbird_log_level,
     "NB_LOG_LEVEL must be one of panic, fatal, error, warn, warning, info, debug, trace"},
    {"NB_DNS_RESOLVER_ADDRESS", is_address_and_port,
     "NB_DNS_RESOLVER_ADDRESS must be IP:port, with an IPv6 address in brackets"},
    {"NB_EXTRA_DNS_LABELS", is_valid_dns_label_list,
     "NB_EXTRA_DNS_LABELS must be a comma-separated list of at most 32 domain names of ASCII letters, digits, "
     "'-' and '_', each optionally starting with '*.'"},
    {"NB_ADMIN_URL", is_http_url, "NB_ADMIN_URL must be an http:// or https:// URL with a host"},
}};

// Why NetBird would refuse the override's value, when it would.
inline std::optional<std::string_view> override_value_refusal(std::string_view key, std::string_view value) {
    for (const override_value_rule& rule : OVERRIDE_VALUE_RULES)
        if (rule.name == key && !rule.accepts(value)) return rule.refusal_message;
    return std::nullopt;
}

// A stored override that must not reach NetBird: a name the system sets itself, guards or one that
// carries a secret, in either spelling, or a value NetBird's own rule refuses.
inline bool is_unusable_override(std::string_view name, std::string_view value) {
    const std::string key = netbird_spelling(name);
    return is_protected_env_key(key) || is_flag_mapped_env_key(key) || is_contract_env_key(key) ||
           is_secret_env_key(key) || guarded_key_reason(key) || override_value_refusal(key, value);
}

// What an override adds to a child's environment block: "NAME=value" and its terminator.
inline std::size_t env_entry_bytes(std::string_view name, std::string_view value) {
    return name.size() + value.size() + 2;
}

template <typename Overrides>
bool is_within_env_budget(const Overrides& overrides) {
    std::size_t bytes = 0;
    for (const auto& [name, value] : overrides) bytes += env_entry_bytes(name, value);
    return overrides.size() <= MAX_ENV_OVERRIDES && bytes <= MAX_ENV_OVERRIDE_BYTES;
}

// Go's net.ParseIP: dotted IPv4 without leading zeros, or IPv6 without a zone.
inline bool is_ip_address(std::string_view text) {
    const std::string address(text);
    unsigned char parsed[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, address.c_str(), parsed) == 1 || ::inet_pton(AF_INET6, address.c_str(), parsed) == 1;
}

// NetBird's own check of --external-ip-map: comma-separated elements, none empty, each an
// external address alone or followed by "/" and the internal address or the name of an interface
// that interface_accepted takes (NetBird's engine needs the external part to be an address). The
// empty map is none.
template <typename InterfaceAccepted>
bool is_valid_external_ip_map(std::string_view map, InterfaceAccepted interface_accepted) {
    if (map.empty()) return true;
    while (true) {
        const auto comma = map.find(',');
        const std::string_view element = map.substr(0, comma);
        const auto slash = element.find('/');
        const std::string_view external = element.substr(0, slash);
        if (!is_ip_address(external)) return false;
        if (slash != std::string_view::npos) {
            const std::string_view internal = element.substr(slash + 1);
            if (internal.find('/') != std::string_view::npos) return false;
            const bool known =
                is_ip_address(internal) || (!internal.empty() && interface_accepted(std::string(internal)));
            if (!known) return false;
        }
        if (comma == std::string_view::npos) return true;
        map.remove_prefix(comma + 1);
    }
}

// The interfaces NetBird ignores by default (exact names); its engine drops the whole external IP
// map when one of them is named in it.
inline constexpr std::array<std::string_view, 14> NETBIRD_IGNORED_INTERFACES{
    "wt0", "wt", "utun", "tun0", "zt", "ZeroTier", "wg", "ts", "Tailscale", "tailscale", "docker", "veth", "br-", "lo"};

inline bool is_ignored_interface(std::string_view name) { return detail::is_one_of(name, NETBIRD_IGNORED_INTERFACES); }

// A name Linux accepts for a network interface: 1-15 bytes, not "." or "..", no '/', ':' or blank.
inline bool is_linux_interface_name(std::string_view name) {
    return !name.empty() && name.size() <= MAX_INTERFACE_NAME_BYTES && name != "." && name != ".." &&
           name.find_first_of("/: \t\n\v\f\r") == std::string_view::npos;
}

// The interface names in an external IP map, in its order.
inline std::vector<std::string> external_ip_map_interfaces(std::string_view map) {
    std::vector<std::string> names;
    while (!map.empty()) {
        const auto comma = map.find(',');
        const std::string_view element = map.substr(0, comma);
        if (const auto slash = element.find('/'); slash != std::string_view::npos) {
            const std::string_view internal = element.substr(slash + 1);
            if (!internal.empty() && !is_ip_address(internal)) names.emplace_back(internal);
        }
        if (comma == std::string_view::npos) break;
        map.remove_prefix(comma + 1);
    }
    return names;
}

inline bool is_valid_interface_name(std::string_view name) {
    return !name.empty() && name.size() <= MAX_INTERFACE_NAME_BYTES &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return detail::is_upper(c) || detail::is_lower(c) || detail::is_digit(c) ||
                      c == '_' || c == '-';
           });
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

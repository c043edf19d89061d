#pragma once
// Every application setting in one table: its name, kind, default, rule, the message for a value
// the rule refuses, and for a tunnel setting the `up` flag that carries it. Checking submitted
// text, the form it is stored in, the values the system runs with and the settings document all
// come from this table, so a new setting is one more row (and its field on the page).

#include <climits>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_levels.hpp"
#include "netbird_utils.hpp"

namespace settings_table {

enum class kind { flag, integer, text };

// One setting. Rows are built with flag_setting, integer_setting or text_setting and the named
// steps below, so that every part of a row says what it is.
struct descriptor {
    std::string_view name;
    kind type = kind::text;
    bool flag_default = false;
    int integer_default = 0;
    std::string_view text_default;
    // Integers: the accepted range. A stored value outside it means the default, or with
    // `clamps` the nearer end of the range.
    int min = INT_MIN;
    int max = INT_MAX;
    bool clamps = false;
    // Text: the rule a value must pass; none accepts any text.
    bool (*text_rule)(std::string_view) = nullptr;
    // Text: a further rule for submitted text only, which checks it against the system as it is
    // now. A stored value is not checked with it again, so it stays what it is when the system
    // changes for a moment.
    bool (*submit_rule)(std::string_view) = nullptr;
    // The answer to submitted text that breaks the rule.
    std::string_view refusal_message;
    // Tunnel settings only: the `up` flag that hands the value to the client. A change reaches the
    // tunnel with the next up or reconnect.
    std::string_view up_flag;

    constexpr descriptor between(int low, int high) const {
        descriptor d = *this;
        d.min = low;
        d.max = high;
        return d;
    }
    constexpr descriptor at_least(int low) const { return between(low, INT_MAX); }
    constexpr descriptor clamping() const {
        descriptor d = *this;
        d.clamps = true;
        return d;
    }
    constexpr descriptor accepting(bool (*rule)(std::string_view)) const {
        descriptor d = *this;
        d.text_rule = rule;
        return d;
    }
    constexpr descriptor checked_on_submit(bool (*rule)(std::string_view)) const {
        descriptor d = *this;
        d.submit_rule = rule;
        return d;
    }
    constexpr descriptor refused_with(std::string_view message) const {
        descriptor d = *this;
        d.refusal_message = message;
        return d;
    }
    constexpr descriptor tunnel(std::string_view flag) const {
        descriptor d = *this;
        d.up_flag = flag;
        return d;
    }
    constexpr bool is_tunnel() const { return !up_flag.empty(); }
};

constexpr descriptor named(std::string_view name, kind type) {
    descriptor d;
    d.name = name;
    d.type = type;
    return d;
}
constexpr descriptor flag_setting(std::string_view name, bool fallback) {
    descriptor d = named(name, kind::flag);
    d.flag_default = fallback;
    return d;
}
constexpr descriptor integer_setting(std::string_view name, int fallback) {
    descriptor d = named(name, kind::integer);
    d.integer_default = fallback;
    return d;
}
constexpr descriptor text_setting(std::string_view name, std::string_view fallback) {
    descriptor d = named(name, kind::text);
    d.text_default = fallback;
    return d;
}

// NetBird's check of the map's form, with any well-formed interface name.
bool is_well_formed_external_ip_map(std::string_view map);

// NetBird's check of the map with its interfaces looked up on this system: each must exist, have
// an IPv4 address and not be one that NetBird ignores, else its engine drops the whole map.
bool is_usable_external_ip_map(std::string_view map);

// In the page's order; the tunnel flags go to `up` in this order too.
inline constexpr descriptor SETTINGS[] = {
    text_setting("management_url", ""),
    integer_setting("wireguard_port", 51820)
        .between(1, 65535)
        .tunnel("--wireguard-port")
        .refused_with("wireguard_port must be an integer between 1 and 65535"),
    integer_setting("mtu", 1280)
        .between(576, 8192)
        .tunnel("--mtu")
        .refused_with("mtu must be an integer between 576 and 8192"),
    text_setting("interface_name", netbird_utils::NETBIRD_DEFAULT_INTERFACE)
        .accepting(netbird_utils::is_valid_interface_name)
        .tunnel("--interface-name")
        .refused_with("interface_name must be 1-15 characters using only letters, digits, '_' or '-'"),
    // A malformed map would fail every up and reconnect, so a stored one means no map.
    text_setting("external_ip_map", "")
        .accepting(is_well_formed_external_ip_map)
        .checked_on_submit(is_usable_external_ip_map)
        .tunnel("--external-ip-map")
        .refused_with("external_ip_map must be a comma-separated list of external IP addresses, each optionally "
                      "followed by / and an internal IP address or the name of an existing network interface "
                      "with an IPv4 address that NetBird does not ignore (lo, wt0, docker, veth, br-, ...)"),
    flag_setting("watchdog_enabled", true).refused_with("watchdog_enabled must be true or false"),
    integer_setting("watchdog_timeout", 300)
        .at_least(30)
        .refused_with("watchdog_timeout must be an integer >= 30 (seconds)"),
    text_setting("log_level", "info")
        .accepting(log_levels::is_known)
        .refused_with("log_level must be one of trace, debug, info, warning, error, critical, off"),
    integer_setting("log_retention_days", 30)
        .between(1, 365)
        .clamping()
        .refused_with("log_retention_days must be an integer between 1 and 365"),
};

namespace detail {

// Rule pointers are left out: a sanitizing build cannot compare a function's address at compile time.
constexpr bool rows_are_sound() {
    for (const descriptor& d : SETTINGS) {
        if (d.name.empty()) return false;
        if (d.type == kind::integer && (d.min > d.max || d.integer_default < d.min || d.integer_default > d.max))
            return false;
        for (const descriptor& other : SETTINGS)
            if (&other != &d && other.name == d.name) return false;
    }
    return true;
}
static_assert(rows_are_sound(), "every setting needs a unique name, and an integer one a default inside its range");

consteval const descriptor& row(std::string_view name, kind type) {
    for (const descriptor& d : SETTINGS)
        if (d.name == name && d.type == type) return d;
    throw "no setting of this name and kind";  // stops the build at the misspelled name
}

}  // namespace detail

// A setting named in the code: a name missing from the table, or of another kind, does not compile.
// Implicit, so that call sites name a setting by its string.
template <kind Type>
struct name_of {
    consteval name_of(const char* name) : setting(&detail::row(name, Type)) {}
    const descriptor* setting;
};

// The row of a submitted name; none for an unknown one (names are case-sensitive).
const descriptor* find(std::string_view name);

// Reads setting text the way decimal strtol does (leading white space, one sign, the digit run,
// anything after it ignored), narrowed to 32 bits. Empty when no digit follows or it overflows.
std::optional<int> parse_integer_text(std::string_view text);

// Why the setting refuses the submitted text (text that is not printable UTF-8 included), or
// nothing when its rule takes it.
std::optional<std::string_view> refusal(const descriptor& setting, std::string_view text);

// The JSON value to store for submitted text: a boolean for a flag, an integer for an integer
// setting (the text itself when it holds none), otherwise the text.
nlohmann::json stored_form(const descriptor& setting, const std::string& text);

// The values the system runs with, read from the stored settings: a missing, mistyped or
// rule-breaking stored value gives the default.
bool flag_value(const nlohmann::json& stored, name_of<kind::flag> name);
int integer_value(const nlohmann::json& stored, name_of<kind::integer> name);
std::string text_value(const nlohmann::json& stored, name_of<kind::text> name);

// Every setting's value by name: the content of the settings document.
nlohmann::json effective_settings(const nlohmann::json& stored);

// The interfaces that the stored external IP map names and that are missing on this system now.
std::vector<std::string> missing_map_interfaces(const nlohmann::json& stored);

// The tunnel flags of `up` with their values: an empty text is passed as an empty argument. An
// external IP map naming a missing interface is left out, so that the client keeps the map it has
// rather than refusing the up.
std::vector<std::string> tunnel_up_args(const nlohmann::json& stored);

}  // namespace settings_table

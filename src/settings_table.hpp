#pragma once
// Every application setting in one table: its name, kind, default, rule, the message for a value
// the rule refuses, how it reaches the client (the `up` flag that carries it) and what a save of it
// sets off in the daemon. Checking submitted text, the form it is stored in, the values the system
// runs with, the settings document, the flags of `up` and the effects of a change all come from
// this table, so a new setting is one more row (and its field on the page).

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

// How a setting reaches the NetBird client: as a flag of `up` (the login flags first) or not at all.
enum class reach {
    daemon,  // the daemon's own setting, read where it is used
    // Where the client logs in. A change marks no reconnect: moving a registered peer to another
    // server takes a login with a key from that server.
    login,
    tunnel,  // the running tunnel keeps its old value until a reconnect
};

// What the daemon does each time the setting is saved, changed or not.
enum class on_save { nothing, apply_log_level, prune_daily_logs };

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
    // How the value reaches the client and, unless the daemon keeps it, the `up` flag that hands it
    // over, with the value passed instead of an empty one (none: the empty text itself).
    reach reaches = reach::daemon;
    std::string_view up_flag;
    std::string_view up_value_when_empty;
    // The setting is left out of `up` when this holds for its value, so that the client keeps the
    // value it has.
    bool (*left_out_of_up_when)(std::string_view) = nullptr;
    on_save effect = on_save::nothing;

private:
    // Ahead of the steps that use them: clang evaluates a constant row only with the templates it
    // has seen defined.
    template <typename T>
    constexpr descriptor with(T descriptor::*member, T value) const {
        descriptor d = *this;
        d.*member = value;
        return d;
    }
    constexpr descriptor passed_to_up(reach group, std::string_view flag) const {
        return with(&descriptor::reaches, group).with(&descriptor::up_flag, flag);
    }

public:
    constexpr descriptor between(int low, int high) const {
        return with(&descriptor::min, low).with(&descriptor::max, high);
    }
    constexpr descriptor at_least(int low) const { return between(low, INT_MAX); }
    constexpr descriptor clamping() const { return with(&descriptor::clamps, true); }
    constexpr descriptor accepting(bool (*rule)(std::string_view)) const { return with(&descriptor::text_rule, rule); }
    constexpr descriptor checked_on_submit(bool (*rule)(std::string_view)) const {
        return with(&descriptor::submit_rule, rule);
    }
    constexpr descriptor refused_with(std::string_view message) const {
        return with(&descriptor::refusal_message, message);
    }
    constexpr descriptor login(std::string_view flag) const { return passed_to_up(reach::login, flag); }
    constexpr descriptor tunnel(std::string_view flag) const { return passed_to_up(reach::tunnel, flag); }
    constexpr descriptor passing_when_empty(std::string_view value) const {
        return with(&descriptor::up_value_when_empty, value);
    }
    constexpr descriptor left_out_of_up_if(bool (*rule)(std::string_view)) const {
        return with(&descriptor::left_out_of_up_when, rule);
    }
    constexpr descriptor on_each_save(on_save action) const { return with(&descriptor::effect, action); }
    // A change reaches the client only with an `up` that applies it.
    constexpr bool reaches_client() const { return reaches != reach::daemon; }
    constexpr bool is_tunnel() const { return reaches == reach::tunnel; }
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

// Whether the map names an interface that is missing on this system now.
bool names_missing_interface(std::string_view map);

// In the page's order; the flags of each group go to `up` in this order too.
inline constexpr descriptor SETTINGS[] = {
    // Shown as empty when none is stored: `up` then names NetBird's own server.
    text_setting("management_url", "")
        .login("--management-url")
        .passing_when_empty(netbird_utils::NETBIRD_DEFAULT_MANAGEMENT_URL),
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
    // A malformed map would fail every up and reconnect, so a stored one means no map. One naming
    // an interface that is missing for a moment is not handed over: the client would refuse the up.
    text_setting("external_ip_map", "")
        .accepting(is_well_formed_external_ip_map)
        .checked_on_submit(is_usable_external_ip_map)
        .tunnel("--external-ip-map")
        .left_out_of_up_if(names_missing_interface)
        .refused_with("external_ip_map must be a comma-separated list of external IP addresses, each optionally "
                      "followed by / and an internal IP address or the name of an existing network interface "
                      "with an IPv4 address that NetBird does not ignore (lo, wt0, docker, veth, br-, ...)"),
    flag_setting("watchdog_enabled", true).refused_with("watchdog_enabled must be true or false"),
    integer_setting("watchdog_timeout", 300)
        .at_least(30)
        .refused_with("watchdog_timeout must be an integer >= 30 (seconds)"),
    text_setting("log_level", "info")
        .accepting(log_levels::is_known)
        .on_each_save(on_save::apply_log_level)
        .refused_with("log_level must be one of trace, debug, info, warning, error, critical, off"),
    integer_setting("log_retention_days", 30)
        .between(1, 365)
        .clamping()
        .on_each_save(on_save::prune_daily_logs)
        .refused_with("log_retention_days must be an integer between 1 and 365"),
};

namespace detail {

// Rule pointers are left out: a sanitizing build cannot compare a function's address at compile time.
constexpr bool rows_are_sound() {
    for (const descriptor& d : SETTINGS) {
        if (d.name.empty()) return false;
        if (d.type == kind::integer && (d.min > d.max || d.integer_default < d.min || d.integer_default > d.max))
            return false;
        if (d.reaches_client() == d.up_flag.empty()) return false;
        if (!d.reaches_client() && !d.up_value_when_empty.empty()) return false;
        for (const descriptor& other : SETTINGS)
            if (&other != &d && (other.name == d.name || (d.reaches_client() && other.up_flag == d.up_flag)))
                return false;
    }
    return true;
}
static_assert(rows_are_sound(),
              "every setting needs a unique name, an integer one a default inside its range, and one that "
              "reaches the client a flag of its own, which the daemon's own settings have not");

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

// The `up` flags of one group with their values, in the table's order: an empty value is passed as
// the row's value for it, else as an empty argument.
std::vector<std::string> up_args(const nlohmann::json& stored, reach group);

}  // namespace settings_table

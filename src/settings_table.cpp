#include "settings_table.hpp"

#include "text_utils.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <ifaddrs.h>
#include <net/if.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace settings_table {

namespace {

const json* find_member(const json& stored, std::string_view name) {
    if (!stored.is_object()) return nullptr;
    const auto it = stored.find(name);
    return it == stored.end() ? nullptr : &*it;
}

// Integer members only (a number with a fraction or exponent is not one), widened to 64 bits.
// Unsigned values beyond that saturate, which no range here can tell apart.
std::optional<std::int64_t> stored_integer(const json& stored, std::string_view name) {
    const json* member = find_member(stored, name);
    if (member == nullptr || !member->is_number_integer()) return std::nullopt;
    if (member->is_number_unsigned())
        return static_cast<std::int64_t>(std::min<std::uint64_t>(member->get<std::uint64_t>(), INT64_MAX));
    return member->get<std::int64_t>();
}

bool in_range(const descriptor& setting, std::int64_t value) { return value >= setting.min && value <= setting.max; }

bool effective_flag(const json& stored, const descriptor& setting) {
    const json* member = find_member(stored, setting.name);
    return member != nullptr && member->is_boolean() ? member->get<bool>() : setting.flag_default;
}

int effective_integer(const json& stored, const descriptor& setting) {
    const auto value = stored_integer(stored, setting.name);
    if (!value) return setting.integer_default;
    if (setting.clamps) return static_cast<int>(std::clamp<std::int64_t>(*value, setting.min, setting.max));
    return in_range(setting, *value) ? static_cast<int>(*value) : setting.integer_default;
}

std::string effective_text(const json& stored, const descriptor& setting) {
    const json* member = find_member(stored, setting.name);
    if (member == nullptr || !member->is_string()) return std::string(setting.text_default);
    const auto& value = member->get_ref<const std::string&>();
    return setting.text_rule == nullptr || setting.text_rule(value) ? value : std::string(setting.text_default);
}

json effective_value(const json& stored, const descriptor& setting) {
    switch (setting.type) {
        case kind::flag: return effective_flag(stored, setting);
        case kind::integer: return effective_integer(stored, setting);
        case kind::text: break;
    }
    return effective_text(stored, setting);
}

bool accepts(const descriptor& setting, std::string_view text) {
    switch (setting.type) {
        case kind::flag: return text == "true" || text == "false";
        case kind::integer: {
            const auto number = parse_integer_text(text);
            return number && in_range(setting, *number);
        }
        case kind::text: break;
    }
    return (setting.text_rule == nullptr || setting.text_rule(text)) &&
           (setting.submit_rule == nullptr || setting.submit_rule(text));
}

std::string argument_text(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

bool network_interface_exists(const std::string& name) { return ::if_nametoindex(name.c_str()) != 0; }

bool interface_has_ipv4(const std::string& name) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool found = false;
    for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next)
        found = entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET && name == entry->ifa_name;
    ::freeifaddrs(list);
    return found;
}

bool is_usable_map_interface(const std::string& name) {
    return !netbird_utils::is_ignored_interface(name) && interface_has_ipv4(name);
}

std::vector<std::string> missing_interfaces(std::string_view map) {
    std::vector<std::string> missing = netbird_utils::external_ip_map_interfaces(map);
    std::erase_if(missing, network_interface_exists);
    return missing;
}

}  // namespace

bool is_well_formed_external_ip_map(std::string_view map) {
    return netbird_utils::is_valid_external_ip_map(
        map, [](const std::string& name) { return netbird_utils::is_linux_interface_name(name); });
}

bool is_usable_external_ip_map(std::string_view map) {
    return netbird_utils::is_valid_external_ip_map(map, is_usable_map_interface);
}

bool names_missing_interface(std::string_view map) { return !missing_interfaces(map).empty(); }

std::vector<std::string> missing_map_interfaces(const json& stored) {
    return missing_interfaces(text_value(stored, "external_ip_map"));
}

const descriptor* find(std::string_view name) {
    const auto* row = std::find_if(std::begin(SETTINGS), std::end(SETTINGS),
                                   [name](const descriptor& setting) { return setting.name == name; });
    return row == std::end(SETTINGS) ? nullptr : row;
}

std::optional<int> parse_integer_text(std::string_view text) {
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

std::optional<std::string_view> refusal(const descriptor& setting, std::string_view text) {
    if (!text_utils::is_printable_utf8(text)) return text_utils::UNPRINTABLE_REFUSAL;
    if (accepts(setting, text)) return std::nullopt;
    return setting.refusal_message;
}

json stored_form(const descriptor& setting, const std::string& text) {
    if (setting.type == kind::flag) return text == "true";
    if (setting.type == kind::integer)
        if (const auto number = parse_integer_text(text)) return *number;
    return text;
}

bool flag_value(const json& stored, name_of<kind::flag> name) { return effective_flag(stored, *name.setting); }

int integer_value(const json& stored, name_of<kind::integer> name) { return effective_integer(stored, *name.setting); }

std::string text_value(const json& stored, name_of<kind::text> name) { return effective_text(stored, *name.setting); }

json effective_settings(const json& stored) {
    json values = json::object();
    for (const descriptor& setting : SETTINGS) values[std::string(setting.name)] = effective_value(stored, setting);
    return values;
}

std::vector<std::string> up_args(const json& stored, reach group) {
    std::vector<std::string> args;
    for (const descriptor& setting : SETTINGS) {
        if (setting.reaches != group || setting.up_flag.empty()) continue;
        std::string value = argument_text(effective_value(stored, setting));
        if (setting.left_out_of_up_when != nullptr && setting.left_out_of_up_when(value)) continue;
        if (value.empty()) value = setting.up_value_when_empty;
        args.emplace_back(setting.up_flag);
        args.push_back(std::move(value));
    }
    return args;
}

}  // namespace settings_table

// The value rules that NetBird applies itself to overrides and setup keys, rebuilt byte by byte so
// that a value the client would refuse is refused before any command runs.

#include "netbird_utils.hpp"

#include <algorithm>
#include <cstddef>

namespace netbird_utils {

namespace {

constexpr std::size_t MAX_DNS_LABELS = 32;
constexpr std::size_t MAX_DOMAIN_LABEL_BYTES = 63;
constexpr std::size_t MAX_PORT_DIGITS = 5;
constexpr unsigned MAX_PORT = 65535;

bool is_alnum(char c) { return detail::is_digit(c) || detail::is_upper(c) || detail::is_lower(c); }

bool is_hex(char c) { return detail::is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// strconv.ParseUint(text, 10, 16): decimal digits only, leading zeros allowed.
bool is_decimal_port(std::string_view text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), detail::is_digit)) return false;
    text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
    if (text.size() > MAX_PORT_DIGITS) return false;
    unsigned value = 0;
    for (const char c : text) value = value * 10 + static_cast<unsigned>(c - '0');
    return value <= MAX_PORT;
}

bool is_ipv4_address(std::string_view text) {
    const std::string address(text);
    unsigned char parsed[sizeof(in_addr)];
    return ::inet_pton(AF_INET, address.c_str(), parsed) == 1;
}

// An IPv6 address as Go reads it: a zone after '%' is allowed (and must not be empty), and an
// IPv4-mapped form counts as IPv6.
bool is_ipv6_address(std::string_view text) {
    const auto percent = text.find('%');
    if (percent != std::string_view::npos && percent + 1 == text.size()) return false;
    const std::string address(text.substr(0, percent));
    unsigned char parsed[sizeof(in6_addr)];
    return ::inet_pton(AF_INET6, address.c_str(), parsed) == 1;
}

// One label of NetBird's domain pattern: letters, digits, '-' and '_', 1-63 bytes, ending in a
// letter or digit; only a label before the last may start with '_'. An "xn--" prefix does not
// count toward the length.
bool is_domain_label(std::string_view label, bool last) {
    if (label.size() > MAX_DOMAIN_LABEL_BYTES && label.starts_with("xn--")) label.remove_prefix(4);
    if (label.empty() || label.size() > MAX_DOMAIN_LABEL_BYTES) return false;
    const auto word_char = [](char c) { return is_alnum(c) || c == '-' || c == '_'; };
    const bool first_ok = is_alnum(label.front()) || (!last && label.front() == '_');
    return first_ok && (label.size() == 1 || is_alnum(label.back())) && std::all_of(label.begin(), label.end(), word_char);
}

bool is_domain_name(std::string_view name) {
    if (name.starts_with("*.")) name.remove_prefix(2);
    while (true) {
        const auto dot = name.find('.');
        if (!is_domain_label(name.substr(0, dot), dot == std::string_view::npos)) return false;
        if (dot == std::string_view::npos) return true;
        name.remove_prefix(dot + 1);
    }
}

// Every '%' starts an escape of two hex digits.
bool has_valid_escapes(std::string_view text) {
    for (std::size_t i = text.find('%'); i != std::string_view::npos; i = text.find('%', i + 1))
        if (i + 2 >= text.size() || !is_hex(text[i + 1]) || !is_hex(text[i + 2])) return false;
    return true;
}

bool is_host_byte(char c) {
    constexpr std::string_view allowed = "-._~!$&'()*+,;=%";
    return is_alnum(c) || static_cast<unsigned char>(c) >= 0x80 || allowed.find(c) != std::string_view::npos;
}

// host[:port] of a URL: a bracketed IPv6 address or a host name, the port digits only.
bool is_url_host(std::string_view host) {
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos || !is_ipv6_address(host.substr(1, close - 1))) return false;
        const std::string_view after = host.substr(close + 1);
        return after.empty() ||
               (after.front() == ':' && std::all_of(after.begin() + 1, after.end(), detail::is_digit));
    }
    const auto colon = host.rfind(':');
    const std::string_view name = host.substr(0, colon);
    if (colon != std::string_view::npos &&
        !std::all_of(host.begin() + static_cast<std::ptrdiff_t>(colon) + 1, host.end(), detail::is_digit))
        return false;
    return !name.empty() && std::all_of(name.begin(), name.end(), is_host_byte) && has_valid_escapes(name);
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// 32 hex digits, with hyphens after the 8th, 12th, 16th and 20th when it has 36 bytes.
bool is_uuid_text(std::string_view text) {
    if (text.size() == 32) return std::all_of(text.begin(), text.end(), is_hex);
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen_place ? text[i] != '-' : !is_hex(text[i])) return false;
    }
    return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char expected, char c) {
        return expected == (detail::is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c);
    });
}

}  // namespace

bool is_address_and_port(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || !is_decimal_port(text.substr(colon + 1))) return false;
    const std::string_view address = text.substr(0, colon);
    if (address.front() == '[')
        return address.size() > 2 && address.back() == ']' && is_ipv6_address(address.substr(1, address.size() - 2));
    return is_ipv4_address(address);
}

bool is_valid_dns_label_list(std::string_view list) {
    std::size_t count = 0;
    while (true) {
        const auto comma = list.find(',');
        if (++count > MAX_DNS_LABELS || !is_domain_name(list.substr(0, comma))) return false;
        if (comma == std::string_view::npos) return true;
        list.remove_prefix(comma + 1);
    }
}

bool is_http_url(std::string_view text) {
    std::string_view rest;
    if (starts_with_ignoring_case(text, "https://"))
        rest = text.substr(8);
    else if (starts_with_ignoring_case(text, "http://"))
        rest = text.substr(7);
    else
        return false;
    if (std::any_of(rest.begin(), rest.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return false;
    const auto end = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, end);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    return is_url_host(authority) && has_valid_escapes(rest.substr(std::min(end, rest.size())));
}

bool is_valid_setup_key(std::string_view key) {
    while (!key.empty() && is_blank(key.front())) key.remove_prefix(1);
    while (!key.empty() && is_blank(key.back())) key.remove_suffix(1);
    if (key.size() == 38 && key.front() == '{' && key.back() == '}') return is_uuid_text(key.substr(1, 36));
    if (key.size() == 45 && starts_with_ignoring_case(key, "urn:uuid:")) return is_uuid_text(key.substr(9));
    return is_uuid_text(key);
}

}  // namespace netbird_utils

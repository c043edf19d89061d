#pragma once
// Text helpers of the HTTP API: form decoding and the compact uptime text.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace text_utils {

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes %XX escapes; a '%' without two hex digits after it stays as it is.
// With plus_is_space, '+' becomes a blank as in form bodies.
inline std::string percent_decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+' && plus_is_space) {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() &&
                   hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// One component of an application/x-www-form-urlencoded body.
inline std::string url_decode(std::string_view text) { return percent_decode(text, true); }

// Malformed pieces are skipped, never an error: the endpoints validate the values.
inline std::map<std::string, std::string> parse_form(std::string_view text) {
    std::map<std::string, std::string> form;
    while (!text.empty()) {
        const auto amp = text.find('&');
        const std::string_view piece = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        const auto eq = piece.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key = url_decode(piece.substr(0, eq));
        if (key.empty()) continue;
        form[std::move(key)] = url_decode(piece.substr(eq + 1));
    }
    return form;
}

// "1d1h1m" style: days only when there is at least one, seconds dropped.
inline std::string format_uptime(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t days = seconds / 86400;
    const std::int64_t hours = seconds % 86400 / 3600;
    const std::int64_t minutes = seconds % 3600 / 60;
    std::string text = days > 0 ? std::to_string(days) + "d" : std::string{};
    return text + std::to_string(hours) + "h" + std::to_string(minutes) + "m";
}

}  // namespace text_utils

#pragma once
// Text helpers of the HTTP API: form decoding, the checks and log form of submitted values, and the
// compact uptime text.

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

// The answer to a setting or override value that is_printable_utf8 refuses.
inline constexpr std::string_view UNPRINTABLE_REFUSAL = "The value must be UTF-8 text without control characters";

// Valid UTF-8 (shortest forms, no surrogates) without control characters (C0, DEL, C1): the only
// values a setting or an override may hold, since they are stored as JSON text and logged.
inline bool is_printable_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7f) return false;
            ++i;
            continue;
        }
        const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
        if (length == 0 || lead > 0xf4 || i + length > text.size()) return false;
        std::uint32_t code = lead & (0x7fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = code << 6 | (next & 0x3f);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
            (code >= 0x80 && code <= 0x9f))
            return false;
        i += length;
    }
    return true;
}

// The text with every control byte (C0 and DEL) written as \xNN, so that a value cannot forge a
// log line or send an escape sequence to a terminal.
inline std::string escape_controls(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out.push_back(c);
            continue;
        }
        out += "\\x";
        out.push_back(HEX[byte >> 4]);
        out.push_back(HEX[byte & 0xf]);
    }
    return out;
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

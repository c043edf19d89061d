#pragma once
// Parsing JSON that comes from files and from child processes. The library parses without
// recursion, but copying, comparing and printing a value recurse once per level, so a document
// nested a million levels deep would exhaust the stack long after it was accepted.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string_view>

namespace json_utils {

// Far deeper than any settings file or status document, far shallower than the stack allows.
inline constexpr std::size_t MAX_NESTING = 100;

// Whether no array or object in the text lies deeper than max_depth levels. Brackets inside
// strings do not count; for text that is not JSON at all the answer does not matter, as the
// parser rejects it anyway.
inline bool nesting_within(std::string_view text, std::size_t max_depth) {
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

// Strict parse (no comments, nothing after the value); a discarded value when the text is not
// one JSON value or is nested deeper than MAX_NESTING. Never throws.
inline nlohmann::json parse_bounded(std::string_view text) {
    if (!nesting_within(text, MAX_NESTING)) return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(text, nullptr, false, false);
}

}  // namespace json_utils

// Form bodies and query strings as a client may send them: decoding never fails, never yields an
// empty field name, never grows the text, and whatever it decodes survives a strict re-encoding,
// as a body and as a query string.

#include "fuzz_support.hpp"
#include "http_server.hpp"
#include "text_utils.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace {

using fuzz_support::require;

// Escapes every byte, '+' included, so that no decoding mode can read the text another way.
std::string escape_all(std::string_view text) {
    constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += HEX[byte >> 4];
        out += HEX[byte & 0xF];
    }
    return out;
}

std::string encode_form(const std::map<std::string, std::string>& form) {
    std::string body;
    for (const auto& [key, value] : form) {
        if (!body.empty()) body += '&';
        body += escape_all(key) + '=' + escape_all(value);
    }
    return body;
}

void check_decoders(std::string_view text) {
    const std::string plain = text_utils::percent_decode(text, false);
    const std::string form_component = text_utils::url_decode(text);
    require(plain.size() <= text.size() && form_component.size() <= text.size(), "decoding never grows the text");
    if (text.find('%') == std::string_view::npos) require(plain == text, "text without escapes decodes to itself");
    const std::string escaped = escape_all(text);
    require(text_utils::percent_decode(escaped, false) == text && text_utils::url_decode(escaped) == text,
            "fully escaped text decodes to the original bytes");
}

std::map<std::string, std::string> check_form(std::string_view text) {
    auto form = text_utils::parse_form(text);
    for (const auto& [key, value] : form) {
        require(!key.empty(), "parse_form never yields an empty key");
        require(key.size() + value.size() < text.size(), "a field is shorter than the body holding it");
    }
    require(text_utils::parse_form(encode_form(form)) == form, "an encoded form decodes to the same fields");
    return form;
}

void check_query(std::string_view text, const std::map<std::string, std::string>& form) {
    const http_server::request raw("GET", "/status?" + std::string(text));
    require(raw.path() == "/status" && raw.query() == text, "the target splits at the first '?'");
    const http_server::request encoded("GET", "/status?" + encode_form(form));
    for (const auto& [key, value] : form)
        require(encoded.query_value(key) == value, "each field of an encoded query reads back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz_support::as_text(data, size);
    check_decoders(text);
    const auto form = check_form(text);
    check_query(text, form);
    return 0;
}

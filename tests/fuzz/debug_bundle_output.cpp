// Output of `debug bundle` as the client prints it, whatever it prints: the zip path and the
// upload key are single trimmed lines taken from it, and the upload answer is always one valid
// JSON document.

#include "debug_bundle.hpp"
#include "fuzz_support.hpp"
#include "netbird_utils.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using fuzz_support::require;

// A parsed value stands on the line after its marker, so after the marker's first occurrence too.
bool follows_marker(std::string_view output, std::string_view marker, std::string_view value) {
    const auto at = output.find(marker);
    return at != std::string_view::npos && output.find(value, at + marker.size()) != std::string_view::npos;
}

bool is_trimmed_line(std::string_view line) {
    constexpr std::string_view BLANKS = " \t\r\n";
    return !line.empty() && line.find('\n') == std::string_view::npos &&
           BLANKS.find(line.front()) == std::string_view::npos && BLANKS.find(line.back()) == std::string_view::npos;
}

void check_bundle_path(std::string_view output) {
    const auto path = netbird_utils::parse_debug_bundle_path(output);
    if (!path) return;
    require(is_trimmed_line(*path), "the bundle path is one trimmed line");
    require(path->front() == '/' && path->ends_with(".zip") && path->size() > 4, "the bundle path is an absolute .zip");
    require(follows_marker(output, "Local file:", *path), "the bundle path comes after its marker");
}

void check_upload_answer(std::string_view output, int exit_code) {
    const auto key = netbird_utils::parse_debug_bundle_upload_key(output);
    if (key) {
        require(is_trimmed_line(*key), "the upload key is one trimmed line");
        require(follows_marker(output, "Upload file key:", *key), "the upload key comes after its marker");
    }
    const command_result result{exit_code, std::string(output), "stderr"};
    const auto answer = fuzz_support::parse_json(debug_bundle::build_debug_upload_json(result));
    require(answer.is_object() && answer.size() == 4, "the upload answer is a JSON object of four members");
    require(answer.at("exit_code") == exit_code && answer.at("ok") == (exit_code == 0), "the answer carries the exit");
    // Invalid UTF-8 is replaced in every answer, so only valid text can be compared.
    if (!fuzz_support::is_valid_utf8(output)) return;
    require(answer.at("key") == key.value_or(""), "the answer carries the parsed key");
    require(answer.at("output") == result.combined(), "the answer carries the whole output");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::discard_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view output = fuzz_support::as_text(data, size);
    check_bundle_path(output);
    for (const int exit_code : {0, 1}) check_upload_answer(output, exit_code);
    return 0;
}

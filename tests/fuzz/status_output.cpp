// Output of `status --json` as the client prints it, whatever it prints: the status document is
// always one valid JSON object with exactly one of "output" and "status", and the management
// state is read as unhealthy exactly from a failed run or an explicit "connected": false.

#include "fuzz_support.hpp"
#include "vpn_api.hpp"
#include "vpn_service.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using fuzz_support::require;
using nlohmann::json;

void check_status_document(const std::string& output, int exit_code) {
    const json document =
        fuzz_support::parse_json(vpn_api::build_status_json(exit_code, output, true, false, true, nlohmann::json::object()));
    require(document.is_object(), "the status document is a JSON object");
    require(document.contains("output") != document.contains("status"),
            "the status document has exactly one of output and status");
    require(document.at("exit_code") == exit_code && document.at("ok") == (exit_code == 0),
            "the status document carries the exit");
    require(document.at("registered") == true && document.at("pending_reconnect") == false &&
                document.at("pending_restart") == true,
            "the status document carries the flags as given");
    // Compared as text: a number beyond double range is written as null, here as in the answer.
    if (document.contains("status"))
        require(document.at("status").dump() == fuzz_support::parse_json(output).dump(),
                "JSON output is embedded as parsed");
    else if (fuzz_support::is_valid_utf8(output))
        require(document.at("output") == output, "valid UTF-8 text is passed on unchanged");
}

bool states_disconnected(const std::string& output) {
    const json document = fuzz_support::parse_json(output);
    return document.is_object() && document.contains("management") && document.at("management").is_object() &&
           document.at("management").value("connected", json()) == false;
}

void check_management_state(const std::string& output) {
    require(!vpn_service::status_is_healthy({1, output, ""}), "a failed status run is unhealthy");
    require(vpn_service::status_is_healthy({0, output, ""}) != states_disconnected(output),
            "a successful run is unhealthy exactly when it states \"connected\": false");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::discard_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string output(fuzz_support::as_text(data, size));
    for (const int exit_code : {0, 2}) check_status_document(output, exit_code);
    check_management_state(output);
    return 0;
}

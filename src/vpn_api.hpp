#pragma once
// The documents the VPN control and status endpoints answer with (vpn_api.cpp).

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "command_result.hpp"

namespace vpn_api {

// {"exit_code", "ok", "output"}: the answer of every command endpoint.
std::string build_json_result(int exit_code, const std::string& output);
std::string build_json_result(const command_result& result);

// How far the page can trust the snapshot: when it was taken (Unix milliseconds) and its age, whether
// a command that may have changed the client's state ended after it, and whether the service runs.
struct status_freshness {
    std::optional<long long> polled_at_ms;
    long long age_seconds = 0;
    bool command_ended_after_poll = false;
    bool service_running = false;
    bool operator==(const status_freshness&) const = default;
};

// The /status document: the client's `status --json` output as "status" when it is JSON, else as
// "output", with the versions, the registration, the pending flags, the lifecycle and the freshness. A
// status run that failed while the service answers ("status failed: ...") adds the client's message.
std::string build_status_json(int exit_code, const std::string& output, bool registered, bool pending_reconnect,
                              bool pending_restart, const nlohmann::json& lifecycle,
                              const status_freshness& freshness = {});

}  // namespace vpn_api

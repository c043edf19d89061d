#pragma once
// What the watchdog reads from a status poll (vpn_service.cpp).

#include "command_result.hpp"
#include "vpn_lifecycle.hpp"

#include <optional>

namespace vpn_service {

// A failed `status --json` run is unhealthy; otherwise the management connection state decides,
// and output that does not show it counts as healthy.
bool status_is_healthy(const command_result& result);

// What a `status --json` run tells the lifecycle; nothing when the service did not answer.
std::optional<vpn_lifecycle::status_report> read_status(const command_result& result);

}  // namespace vpn_service

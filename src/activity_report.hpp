#pragma once
// What runs now, as GET /activity shows it (activity_report.cpp).

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace activity_report {

struct activity {
    std::optional<std::string> command;
    long long command_seconds = 0;
    std::size_t queued = 0;
    int service_restarts = 0;
    // Restarts in the last window by cause (the lifecycle's names), and the window's length.
    nlohmann::json recent_restarts;
    bool service_running = false;
    long long service_uptime_seconds = 0;
    // The VPN lifecycle's state, as in /status.
    nlohmann::json lifecycle;
};

std::string build_activity_json(const activity& now);

}  // namespace activity_report

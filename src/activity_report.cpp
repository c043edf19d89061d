// What the daemon is doing now: the queued command that runs, how many wait behind it, and the
// NetBird service's life since start. Answered at once, so a page can show it while a command runs.

#include "activity_report.hpp"
#include "api_helpers.hpp"
#include "application.hpp"

using api_helpers::dump_json;
using api_helpers::write_json;
using http_status = http_server::status;

namespace {

long long whole_seconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

nlohmann::json recent_restarts_json(const restart_history::counts& counts) {
    nlohmann::json result = {{"window_seconds", restart_history::WINDOW_SECONDS}};
    for (const auto cause : vpn_lifecycle::restart_causes)
        result[vpn_lifecycle::name(cause)] = counts[static_cast<std::size_t>(cause)];
    return result;
}

}  // namespace

std::string activity_report::build_activity_json(const activity& now) {
    return dump_json({{"lifecycle", now.lifecycle},
                      {"command", now.command ? nlohmann::json(*now.command) : nlohmann::json(nullptr)},
                      {"command_seconds", now.command_seconds},
                      {"queued", now.queued},
                      {"recent_restarts", now.recent_restarts},
                      {"service_restarts", now.service_restarts},
                      {"service_running", now.service_running},
                      {"service_uptime_seconds", now.service_uptime_seconds}});
}

activity_report::activity application::current_activity(clock::time_point now) {
    activity_report::activity current;
    {
        std::lock_guard lock(m_queue_mutex);
        current.command = m_running_command;
        if (m_running_command) current.command_seconds = whole_seconds(now - m_running_since);
        current.queued = m_command_queue.size();
    }
    current.service_restarts = m_service_restarts;
    current.recent_restarts = recent_restarts_json(m_recent_restarts.in_window(now));
    current.service_running = service_running();
    if (current.service_running) current.service_uptime_seconds = whole_seconds(now - m_service_started_at);
    current.lifecycle = lifecycle_json(now);
    return current;
}

void application::api_activity(const response_ptr& res, const request& /*req*/) {
    note_watcher();
    write_json(res, activity_report::build_activity_json(current_activity(clock::now())), http_status::ok, true);
}

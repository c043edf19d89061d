// The NetBird service process, the status poll and the watchdog that keeps the service alive.

#include "application.hpp"
#include "json_utils.hpp"
#include "process_utils.hpp"
#include "text_utils.hpp"

#include <boost/process/args.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <spdlog/logger.h>
#include <spdlog/spdlog.h>

namespace bp = boost::process;
namespace fs = std::filesystem;

namespace {

// The management connection state in `status --json` output; nothing unless it is a JSON boolean.
std::optional<bool> parse_management_connected(const std::string& output) {
    const auto document = json_utils::parse_bounded(output);
    if (!document.is_object()) return std::nullopt;
    const auto management = document.find("management");
    if (management == document.end() || !management->is_object()) return std::nullopt;
    const auto connected = management->find("connected");
    if (connected == management->end() || !connected->is_boolean()) return std::nullopt;
    return connected->get<bool>();
}

}  // namespace

// --- service lifecycle ---

void application::start_service() {
    if (service_running()) return;
    if (m_service_log_thread.joinable()) m_service_log_thread.join();
    m_service_stderr.reset();
    try {
        // The throwing form: a path whose status cannot be read counts as a failed start.
        if (!fs::exists(m_netbird_path)) {
            spdlog::error("VPN CLI not found at {}", m_netbird_path.string());
            return;
        }
        std::vector<std::string> args = base_args_service();
        args.insert(args.end(), {"service", "run"});
        const bp::environment env = process_utils::child_environment(build_command_env());
        const std::string executable = args.front();
        args.erase(args.begin());
        auto stderr_stream = std::make_unique<bp::ipstream>(process_utils::cloexec_pipe());
        m_service_process = std::make_unique<bp::child>(
            process_utils::start_child(bp::exe = executable, bp::args = args, bp::std_in < bp::null,
                                       bp::std_out > bp::null, bp::std_err > *stderr_stream, env));
        m_service_stderr = std::move(stderr_stream);
    } catch (const std::exception& e) {
        spdlog::error("Failed to start VPN service: {}", e.what());
        m_service_process.reset();
        return;
    }
    m_service_log_thread = std::thread([this] { service_log_reader(); });
    m_service_started_at = clock::now();
    spdlog::info("VPN service started");
}

void application::stop_service() {
    if (!m_service_process) return;
    try {
        process_utils::kill_and_reap(*m_service_process);
        spdlog::info("VPN service stopped");
    } catch (const std::exception& e) {
        spdlog::error("Failed to stop VPN service: {}", e.what());
    }
    m_service_process.reset();
    if (m_service_log_thread.joinable()) m_service_log_thread.join();
    m_service_stderr.reset();
}

void application::restart_service() {
    stop_service();
    start_service();
    m_pending_restart = false;
}

bool application::service_running() const {
    std::error_code ec;
    return m_service_process && m_service_process->running(ec);
}

// NetBird's own lines go to its daily log as they are: "{}" keeps braces in them literal.
void application::service_log_reader() {
    if (!m_service_stderr) return;
    std::string line;
    while (std::getline(*m_service_stderr, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (m_netbird_file_logger) m_netbird_file_logger->info("{}", line);
    }
}

void application::check_service_exited() {
    if (m_shutting_down || !m_service_process || service_running()) return;
    spdlog::warn("VPN service exited, restarting");
    ++m_service_restarts;
    m_service_process.reset();
    start_service();
}

// --- status polling and watchdog ---

void application::start_watchdog() {
    m_started_at = clock::now();
    m_watchdog_thread = std::thread([this] { watchdog_loop(); });
}

// Runs the status poll every period, or at once when woken, and hands every effect to the main
// thread. The exit check goes first, so a dead service is noticed even while polls are skipped.
void application::watchdog_loop() {
    auto next_cycle = clock::now();
    bool last_verdict = true;
    for (int cycle = 1; wait_for_watchdog_cycle(next_cycle); ++cycle) {
        const auto cycle_start = clock::now();
        defer([this] { check_service_exited(); });
        if (auto result = poll_status()) {
            last_verdict = status_is_healthy(*result);
            defer([this, verdict = last_verdict, snapshot = std::move(*result)]() mutable {
                m_status_snapshot = std::move(snapshot);
                on_health_probe(verdict);
            });
        }
        next_cycle = cycle_start + WATCHDOG_PERIOD;
        if (cycle % HEARTBEAT_CYCLES == 0) defer([this, last_verdict] { log_heartbeat(last_verdict); });
    }
}

// Waits until the deadline or an early wake-up; false once the process is stopping.
bool application::wait_for_watchdog_cycle(clock::time_point deadline) {
    std::unique_lock lock(m_poll_mutex);
    m_poll_cv.wait_until(lock, deadline, [this] { return m_poll_wake || stopping(); });
    m_poll_wake = false;
    return !stopping();
}

// Skips the poll rather than queue behind a command: `up` may hold the command lock for a minute.
// A poll that a waiting command cut short gives no verdict; that command's end wakes the next.
std::optional<application::command_result> application::poll_status() {
    std::vector<std::string> args = base_args_cli();
    args.insert(args.end(), {"status", "--json"});
    std::unique_lock lock(m_command_mutex, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    command_result result = run_command(args, true);
    if (m_command_waiting) return std::nullopt;
    return result;
}

bool application::status_is_healthy(const command_result& result) {
    if (result.exit_code != 0) return false;
    if (const auto connected = parse_management_connected(result.stdout_data)) return *connected;
    spdlog::warn("Could not parse management state from netbird status; treating as healthy");
    return true;
}

void application::on_health_probe(bool healthy) { on_health_probe(healthy, clock::now()); }

// Restarts the service once management has stayed lost for the timeout, and again after each
// further timeout; only while the operator wants the VPN up and never during start-up grace.
void application::on_health_probe(bool healthy, clock::time_point now) {
    std::error_code ec;
    const bool armed = !m_shutting_down && watchdog_enabled() && fs::exists(m_config_path, ec) && m_desired_up;
    if (!armed) {
        m_unhealthy_since.reset();
        return;
    }
    const auto timeout = std::chrono::seconds(watchdog_timeout_seconds());
    if (now - m_started_at < timeout) {
        if (healthy) m_unhealthy_since.reset();
        return;
    }
    if (healthy) {
        if (m_unhealthy_since) spdlog::info("VPN connectivity restored");
        m_unhealthy_since.reset();
    } else if (!m_unhealthy_since) {
        m_unhealthy_since = now;
        spdlog::warn("VPN connectivity lost (management disconnected); will restart service if it persists");
    } else if (now - *m_unhealthy_since >= timeout) {
        const auto down_for = std::chrono::duration_cast<std::chrono::seconds>(now - *m_unhealthy_since);
        spdlog::warn("VPN connectivity down for {}s, restarting service", down_for.count());
        restart_service();
        ++m_service_restarts;
        m_unhealthy_since = now;
    }
}

// Hourly: a sign of life in the log, and the trigger of the daily log compression.
void application::log_heartbeat(bool management_connected) {
    if (m_shutting_down) return;
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(clock::now() - m_started_at);
    spdlog::info("heartbeat: uptime={} service={} management={}", text_utils::format_uptime(uptime.count()),
                 service_running() ? "running" : "stopped", management_connected ? "connected" : "disconnected");
    run_log_maintenance([this] { compress_daily_logs(); });
}

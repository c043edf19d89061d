// The NetBird service process, the status poll and the watchdog that keeps the service alive.

#include "application.hpp"
#include "json_utils.hpp"
#include "process_utils.hpp"
#include "settings_table.hpp"
#include "text_utils.hpp"
#include "time_utils.hpp"
#include "vpn_service.hpp"

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

// The client's "daemonStatus" in `status --json` output; nothing unless it is a non-empty string.
std::optional<std::string> parse_daemon_status(const std::string& output) {
    const auto document = nlohmann::json::parse(output, nullptr, false);
    if (!document.is_object()) return std::nullopt;
    const auto status = document.find("daemonStatus");
    if (status == document.end() || !status->is_string() || status->get_ref<const std::string&>().empty())
        return std::nullopt;
    return status->get<std::string>();
}

}  // namespace

// --- service lifecycle ---

void application::start_service() {
    if (service_running()) return;
    end_service();
    try {
        // The throwing form: a path whose status cannot be read counts as a failed start.
        if (!fs::exists(m_netbird_path)) {
            note_service_start_failure("VPN CLI not found at " + m_netbird_path.string());
            return;
        }
        std::vector<std::string> args = base_args_service();
        args.insert(args.end(), {"service", "run"});
        const bp::environment env = process_utils::child_environment(build_command_env());
        const std::string executable = args.front();
        args.erase(args.begin());
        bp::pipe stderr_pipe = process_utils::cloexec_pipe();
        m_service_process = std::make_unique<bp::child>(
            process_utils::start_child(bp::exe = executable, bp::args = args, bp::std_in < bp::null,
                                       bp::std_out > bp::null, bp::std_err > stderr_pipe, env));
        m_service_log.start(process_utils::take_read_end(stderr_pipe),
                            [this](std::string& line) { log_service_line(line); }, "VPN service output");
    } catch (const std::exception& e) {
        note_service_start_failure(std::string("Failed to start VPN service: ") + e.what());
        end_service();  // a service started without its capture must not run unwatched
        return;
    }
    m_service_start_failure.reset();
    m_service_started_at = clock::now();
    spdlog::info("VPN service started");
    record_event("service_started");
}

void application::stop_service() {
    m_service_start_failure.reset();  // stopped on purpose: nothing to retry
    if (!m_service_process) return;
    if (!end_service()) return;
    spdlog::info("VPN service stopped");
    record_event("service_stopped");
}

// Kills the service's process group (helpers it left behind go with it), reaps the service, empties
// the handle and stops the capture. False when the kill or the reap failed, which is logged.
bool application::end_service() {
    bool ended = true;
    if (m_service_process) {
        try {
            process_utils::kill_group_and_reap(*m_service_process);
        } catch (const std::exception& e) {
            spdlog::error("Failed to stop VPN service: {}", e.what());
            ended = false;
        }
        m_service_process.reset();
    }
    m_service_log.stop(process_utils::OUTPUT_GRACE);
    return ended;
}

// The exit check retries a failed start every watchdog period; a failure that repeats the last
// one is not logged again.
void application::note_service_start_failure(std::string message) {
    if (message != m_service_start_failure) {
        spdlog::error("{}", message);
        record_event("start_failed", message);
    }
    m_service_start_failure = std::move(message);
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
void application::log_service_line(std::string& line) const {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (m_netbird_file_logger) m_netbird_file_logger->info("{}", line);
}

// Starts the service again when it has ended by itself, and retries a start that failed.
void application::check_service_exited() {
    if (m_shutting_down || service_running()) return;
    if (m_service_process) {
        spdlog::warn("VPN service exited, restarting");
        record_event("service_exited");
        ++m_service_restarts;
    } else if (!m_service_start_failure) {
        return;
    }
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
    time_utils::periodic heartbeat(HEARTBEAT_PERIOD, next_cycle);
    bool last_verdict = true;
    while (wait_for_watchdog_cycle(next_cycle)) {
        const auto cycle_start = clock::now();
        defer([this] {
            check_service_exited();
            sweep_late_bundles();
        });
        if (auto result = poll_status()) {
            last_verdict = vpn_service::status_is_healthy(*result);
            defer([this, verdict = last_verdict, snapshot = std::move(*result)]() mutable {
                take_status_snapshot(std::move(snapshot));
                on_health_probe(verdict);
            });
        }
        next_cycle = cycle_start + WATCHDOG_PERIOD;
        if (heartbeat.due(cycle_start)) defer([this, last_verdict] { log_heartbeat(last_verdict); });
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
std::optional<command_result> application::poll_status() {
    std::vector<std::string> args = base_args_cli();
    args.insert(args.end(), {"status", "--json"});
    std::unique_lock lock(m_command_mutex, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    command_result result = run_command(args, true);
    if (m_command_waiting) return std::nullopt;
    return result;
}

// NeedsLogin is the client's word for "not registered": a fresh config.json, or one that management
// refused. LoginFailed only says that the last login attempt failed, which an `up` without a
// reachable management also ends in: it means "not registered" unless the client had reported the
// camera registered before. Any other state means registered.
void application::take_status_snapshot(command_result snapshot) {
    const auto daemon_status =
        snapshot.exit_code == 0 ? parse_daemon_status(snapshot.stdout_data) : std::nullopt;
    m_status_snapshot = std::move(snapshot);
    m_status_snapshot_at = clock::now();
    m_status_polled_at = std::chrono::system_clock::now();
    m_journal.observe_status(*m_status_snapshot, m_status_polled_at);
    if (!daemon_status) return;
    const bool logged_out =
        *daemon_status == "NeedsLogin" || (*daemon_status == "LoginFailed" && m_client_login != client_login::registered);
    const client_login reported = logged_out ? client_login::not_registered : client_login::registered;
    if (reported == client_login::not_registered && m_client_login != reported)
        spdlog::info("VPN client reports {}: not registered, so the watchdog will not restart the service for "
                     "the lost management connection",
                     *daemon_status);
    m_client_login = reported;
    // The first word of the client settles the start-up guess, unless the operator acted already.
    if (m_desired_up_assumed) m_desired_up = registered();
    m_desired_up_assumed = false;
}

// Until the client's first answer, config.json decides. Missing before the service starts, it means
// not registered: the service creates a fresh one, which no management server knows. Present, it
// means registered: a camera registered before a reboot keeps wanting the VPN up, and the watchdog's
// start-up grace outlasts the first poll, which settles it either way.
void application::assume_registration_at_start() {
    std::error_code ec;
    if (!fs::exists(m_config_path, ec)) m_client_login = client_login::not_registered;
    m_desired_up = registered();
}

bool application::registered() const {
    if (m_deregistrations_pending > 0 || m_client_login == client_login::not_registered) return false;
    std::error_code ec;
    return fs::exists(m_config_path, ec);
}

bool vpn_service::status_is_healthy(const command_result& result) {
    if (result.exit_code != 0) return false;
    if (const auto connected = parse_management_connected(result.stdout_data)) return *connected;
    spdlog::warn("Could not parse management state from netbird status; treating as healthy");
    return true;
}

void application::on_health_probe(bool healthy) { on_health_probe(healthy, clock::now()); }

// Restarts the service once management has stayed lost for the timeout, and again after each
// further timeout; only while the operator wants the VPN up and never during start-up grace.
// Not for a camera that is not registered: a restart cannot log it in.
void application::on_health_probe(bool healthy, clock::time_point now) {
    const bool armed = !m_shutting_down && settings_table::flag_value(m_app_config, "watchdog_enabled") && m_desired_up && registered();
    if (!armed) {
        m_unhealthy_since.reset();
        return;
    }
    const auto timeout = std::chrono::seconds(settings_table::integer_value(m_app_config, "watchdog_timeout"));
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
        record_event("service_restarted", "by the watchdog: management lost for " + std::to_string(down_for.count()) + " s");
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

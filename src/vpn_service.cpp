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

#include <string_view>

namespace bp = boost::process;
namespace fs = std::filesystem;

namespace {

// The management connection state in a `status --json` document; nothing unless it is a JSON boolean.
std::optional<bool> parse_management_connected(const nlohmann::json& document) {
    if (!document.is_object()) return std::nullopt;
    const auto management = document.find("management");
    if (management == document.end() || !management->is_object()) return std::nullopt;
    const auto connected = management->find("connected");
    if (connected == management->end() || !connected->is_boolean()) return std::nullopt;
    return connected->get<bool>();
}

// The client's "daemonStatus" and connected peers in `status --json` output: "" and 0 when absent.
std::string parse_daemon_status(const nlohmann::json& document) {
    const auto status = document.find("daemonStatus");
    return status != document.end() && status->is_string() ? status->get<std::string>() : std::string();
}

int parse_peers_connected(const nlohmann::json& document) {
    const auto peers = document.find("peers");
    if (peers == document.end() || !peers->is_object()) return 0;
    const auto connected = peers->find("connected");
    return connected != peers->end() && connected->is_number_integer() ? connected->get<int>() : 0;
}

// A NetBird log line at the fatal or panic level, or Go's own panic.
bool is_fatal_line(std::string_view line) {
    return line.find(" FATL ") != std::string_view::npos || line.find(" PANC ") != std::string_view::npos ||
           line.starts_with("panic: ");
}

// The journal's words for why the service was restarted.
std::string restart_description(std::optional<vpn_lifecycle::restart_cause> cause) {
    if (!cause) return {};
    switch (*cause) {
        case vpn_lifecycle::restart_cause::operator_request: return "by the operator";
        case vpn_lifecycle::restart_cause::lost_management: return "by the watchdog: management lost";
        case vpn_lifecycle::restart_cause::hung_service: return "by the watchdog: the service did not answer";
        case vpn_lifecycle::restart_cause::crash: return "after the service exited";
        case vpn_lifecycle::restart_cause::start_failure: return "after the service failed to start";
    }
    return {};
}

}  // namespace

// --- service lifecycle ---

void application::start_service() {
    if (service_running()) return;
    end_service();
    const auto failed = [this](const std::string& message) {
        spdlog::error("{}", message);
        record_event("start_failed", message);
        carry_out(m_lifecycle.service_failed_to_start(clock::now()));
    };
    try {
        // The throwing form: a path whose status cannot be read counts as a failed start.
        if (!fs::exists(m_netbird_path)) return failed("VPN CLI not found at " + m_netbird_path.string());
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
        end_service();  // a service started without its capture must not run unwatched
        return failed(std::string("Failed to start VPN service: ") + e.what());
    }
    m_service_started_at = clock::now();
    spdlog::info("VPN service started");
    record_event("service_started");
    carry_out(m_lifecycle.service_started(m_service_started_at));
}

void application::stop_service() {
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

void application::restart_service() {
    stop_service();
    start_service();
    m_pending_restart = false;
}

bool application::service_running() const {
    std::error_code ec;
    return m_service_process && m_service_process->running(ec);
}

// NetBird's own lines go to its daily log as they are: "{}" keeps braces in them literal. A fatal
// one is kept for the page: it says why the service does not stay up.
void application::log_service_line(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (m_netbird_file_logger) m_netbird_file_logger->info("{}", line);
    if (!is_fatal_line(line)) return;
    std::lock_guard lock(m_fatal_mutex);
    m_last_fatal = fatal_line{line, std::chrono::system_clock::now(), clock::now()};
}

// A service that ended by itself is reaped here; the lifecycle decides when it starts again. It
// ended by the time of the fatal line it printed, if any: a check may come a poll later.
void application::check_service_exited() {
    if (m_shutting_down || !m_service_process || service_running()) return;
    spdlog::warn("VPN service exited");
    record_event("service_exited");
    end_service();
    auto ended = clock::now();
    {
        std::lock_guard lock(m_fatal_mutex);
        if (m_last_fatal && m_last_fatal->seen > m_service_started_at) ended = m_last_fatal->seen;
    }
    carry_out(m_lifecycle.service_exited(ended));
    count_restart();
}

// --- status polling and watchdog ---

void application::start_watchdog() {
    m_started_at = clock::now();
    m_watchdog_thread = std::thread([this] { watchdog_loop(); });
}

// Every cycle (or at once when woken) checks the service and turns the lifecycle; the status poll
// runs in every cycle while someone watches, else once per unwatched period. Every effect goes to
// the main thread. The exit check goes first, so a dead service is noticed even while polls are
// skipped.
void application::watchdog_loop() {
    auto next_cycle = clock::now();
    time_utils::periodic heartbeat(HEARTBEAT_PERIOD, next_cycle);
    std::optional<clock::time_point> last_poll;
    bool last_verdict = true;
    const auto cycle = WATCHED_POLL_SECONDS * m_lifecycle_second;
    bool woken = false;
    while (wait_for_watchdog_cycle(next_cycle, woken)) {
        const auto cycle_start = clock::now();
        defer([this] {
            check_service_exited();
            lifecycle_tick(clock::now());
            sweep_late_bundles();
        });
        // A wake-up (a command ended, a watcher came) polls at once; half a cycle of slack keeps a
        // cycle that comes a little early from skipping a due poll.
        if (woken || !last_poll || cycle_start - *last_poll + cycle / 2 >= poll_period()) {
            if (auto result = poll_status()) {
                last_poll = cycle_start;  // a poll that gave way to a command is tried again next cycle
                last_verdict = vpn_service::status_is_healthy(*result);
                defer([this, snapshot = std::move(*result)]() mutable { take_status_snapshot(std::move(snapshot)); });
            }
        }
        next_cycle = cycle_start + cycle;
        if (heartbeat.due(cycle_start)) defer([this, last_verdict] { log_heartbeat(last_verdict); });
    }
}

// Waits until the deadline or an early wake-up (which sets `woken`); false once the process is stopping.
bool application::wait_for_watchdog_cycle(clock::time_point deadline, bool& woken) {
    std::unique_lock lock(m_poll_mutex);
    m_poll_cv.wait_until(lock, deadline, [this] { return m_poll_wake || stopping(); });
    woken = m_poll_wake;
    m_poll_wake = false;
    return !stopping();
}

application::clock::duration application::poll_period() {
    const clock::time_point watched{clock::duration(m_last_watched.load())};
    bool busy = clock::now() - watched < WATCHED_FOR_SECONDS * m_lifecycle_second;
    if (!busy) {
        std::lock_guard lock(m_queue_mutex);
        busy = m_running_command.has_value();
    }
    return (busy ? WATCHED_POLL_SECONDS : UNWATCHED_POLL_SECONDS) * m_lifecycle_second;
}

// A watcher who arrives after a quiet spell gets a fresh poll at once instead of a stale one.
void application::note_watcher() {
    const auto now = clock::now();
    const clock::time_point before{clock::duration(m_last_watched.exchange(now.time_since_epoch().count()))};
    if (now - before >= WATCHED_FOR_SECONDS * m_lifecycle_second) wake_status_poller();
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

void application::take_status_snapshot(command_result snapshot) {
    take_status_snapshot(std::move(snapshot), clock::now());
}

// A run that printed a document is the client's answer; "status failed: ..." is an answer too (the
// service runs, its connection attempt failed), which reads as Connecting. Anything else (no
// daemon to dial, a time-out) means the service does not answer.
void application::take_status_snapshot(command_result snapshot, clock::time_point now) {
    const auto report = vpn_service::read_status(snapshot);
    m_status_snapshot = std::move(snapshot);
    m_status_snapshot_at = now;
    m_status_polled_at = std::chrono::system_clock::now();
    m_journal.observe_status(*m_status_snapshot, m_status_polled_at);
    carry_out(report ? m_lifecycle.status_answered(*report, now) : m_lifecycle.status_unanswered(now));
}

void application::lifecycle_tick(clock::time_point now) {
    if (m_shutting_down) return;
    m_lifecycle.set_timing(lifecycle_timing());
    carry_out(m_lifecycle.watchdog_tick(now));
}

vpn_lifecycle::timing application::lifecycle_timing() const {
    return {m_lifecycle_second, settings_table::integer_value(saved_settings(), "watchdog_timeout"),
            settings_table::flag_value(saved_settings(), "watchdog_enabled")};
}

void application::carry_out(vpn_lifecycle::action action) {
    if (m_lifecycle.registration_changed()) save_registration();
    switch (action) {
        case vpn_lifecycle::action::none:
            return;
        case vpn_lifecycle::action::start_service:
            start_service();
            return;
        case vpn_lifecycle::action::restart_service:
            count_restart();
            record_event("service_restarted", restart_description(m_lifecycle.last_restart_cause()));
            restart_service();
            return;
        case vpn_lifecycle::action::send_down:
            spdlog::info("VPN service started while the VPN is wanted down: disconnecting");
            enqueue_command_first("down", [this, down = base_args_cli()]() mutable {
                down.emplace_back("down");
                const auto lock = lock_for_command();
                run_command(down, false);
            });
            return;
    }
}

// A service that exited counts when it ends, as it will be started again after its back-off.
void application::count_restart() {
    const auto cause = m_lifecycle.last_restart_cause().value_or(vpn_lifecycle::restart_cause::crash);
    if (cause != vpn_lifecycle::restart_cause::operator_request) ++m_service_restarts;
    m_recent_restarts.note(cause, clock::now());
}

// Until the client says otherwise, the registration saved last decides. A camera without one (a
// first start, or an upgrade from a version that saved none) is taken for registered when
// config.json exists: the service creates a fresh one, which no management server knows.
void application::assume_registration_at_start() {
    m_registration_record = settings_files::read_json_file(m_registration_path);
    m_registration_saved.mark_saved();
    const auto saved = m_registration_record.find("registered");
    auto registration = vpn_lifecycle::registration::unknown;
    if (saved != m_registration_record.end() && saved->is_boolean())
        registration = saved->get<bool>() ? vpn_lifecycle::registration::registered
                                          : vpn_lifecycle::registration::not_registered;
    std::error_code ec;
    if (!fs::exists(m_config_path, ec)) registration = vpn_lifecycle::registration::not_registered;
    m_lifecycle = vpn_lifecycle::machine(registration);
    m_lifecycle.set_timing(lifecycle_timing());
    const bool saved_differs = saved == m_registration_record.end() || !saved->is_boolean() ||
                               saved->get<bool>() != (registration == vpn_lifecycle::registration::registered);
    if (registration != vpn_lifecycle::registration::unknown && saved_differs) save_registration();
}

void application::save_registration() {
    const bool registered = m_lifecycle.registered() == vpn_lifecycle::registration::registered;
    m_registration_saved.update([registered](nlohmann::json& record) { record = {{"registered", registered}}; }, {});
}

bool application::registered() const {
    if (m_lifecycle.deregistering() || m_lifecycle.registered() == vpn_lifecycle::registration::not_registered)
        return false;
    std::error_code ec;
    return fs::exists(m_config_path, ec);
}

nlohmann::json application::lifecycle_json(clock::time_point now) const {
    const auto cause = m_lifecycle.last_restart_cause();
    const auto next_start = m_lifecycle.next_start_in(now);
    nlohmann::json fatal = nullptr;
    {
        std::lock_guard lock(m_fatal_mutex);
        if (m_last_fatal) fatal = {{"line", m_last_fatal->line}, {"at", time_utils::iso8601_utc(m_last_fatal->at)}};
    }
    return {{"state", vpn_lifecycle::name(m_lifecycle.current())},
            {"reason", m_lifecycle.reason()},
            {"wish", m_lifecycle.wants_up() ? "up" : "down"},
            {"last_restart_cause", cause ? nlohmann::json(vpn_lifecycle::name(*cause)) : nlohmann::json(nullptr)},
            {"next_start_seconds",
             next_start ? nlohmann::json((*next_start + m_lifecycle_second - clock::duration(1)) / m_lifecycle_second)
                        : nlohmann::json(nullptr)},
            {"last_fatal", std::move(fatal)}};
}

std::optional<vpn_lifecycle::status_report> vpn_service::read_status(const command_result& result) {
    if (result.exit_code != 0) {
        if (result.stderr_data.find("status failed: ") == std::string::npos) return std::nullopt;
        return vpn_lifecycle::status_report{"Connecting", false, 0};
    }
    const auto document = json_utils::parse_bounded(result.stdout_data);
    if (!document.is_object()) return vpn_lifecycle::status_report{};
    return vpn_lifecycle::status_report{parse_daemon_status(document),
                                        parse_management_connected(document),
                                        parse_peers_connected(document)};
}

bool vpn_service::status_is_healthy(const command_result& result) {
    if (result.exit_code != 0) return false;
    if (const auto connected = parse_management_connected(json_utils::parse_bounded(result.stdout_data)))
        return *connected;
    spdlog::warn("Could not parse management state from netbird status; treating as healthy");
    return true;
}

// Hourly: a sign of life in the log, and the trigger of the daily log compression.
void application::log_heartbeat(bool management_connected) {
    if (m_shutting_down) return;
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(clock::now() - m_started_at);
    spdlog::info("heartbeat: uptime={} service={} management={}", text_utils::format_uptime(uptime.count()),
                 service_running() ? "running" : "stopped", management_connected ? "connected" : "disconnected");
    run_log_maintenance([this] { compress_daily_logs(); });
}

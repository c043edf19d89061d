#pragma once
// The one object that owns the daemon's run-time state. Its member functions live in one source
// file per subsystem (named in each group's comment), so a reader finds a subsystem by file name.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "activity_report.hpp"
#include "api_helpers.hpp"
#include "command_job.hpp"
#include "command_result.hpp"
#include "directory_watch.hpp"
#include "document_cache.hpp"
#include "http_server.hpp"
#include "journal.hpp"
#include "line_reader.hpp"
#include "restart_history.hpp"
#include "saved_document.hpp"
#include "settings_files.hpp"
#include "time_utils.hpp"
#include "vpn_api.hpp"
#include "vpn_lifecycle.hpp"
#include "worker_thread.hpp"

namespace boost::process {
class child;
}
namespace spdlog {
class logger;
}
namespace settings_table {
struct descriptor;
}

class application {
public:
    explicit application(std::string name);
    // Test seam: an application whose directory is given instead of found from /proc/self/exe.
    application(std::string name, std::filesystem::path app_dir);
    ~application();
    application(const application&) = delete;
    application& operator=(const application&) = delete;

    // The daily log files and the stored log level; main sets them up before run() (logs.cpp).
    void setup_file_logging();
    // Supervises NetBird and serves the API until the event loop ends (application.cpp).
    void run();
    // True when run() ended because SIGINT or SIGTERM arrived.
    bool stopped_by_signal() const { return m_stopped_by_signal; }

private:
    // Reaches what tests drive directly (tests/support/application_test_access.hpp).
    friend struct application_test_access;

    using clock = std::chrono::steady_clock;
    using form = api_helpers::form;
    using response_ptr = http_server::response_ptr;
    using request = http_server::request;

    static constexpr std::size_t MAX_QUEUED_COMMANDS = 8;
    // Time limits, counted in m_limit_second.
    static constexpr auto COMMAND_TIMEOUT = std::chrono::seconds(60);
    // An upload goes as fast as the camera's uplink allows.
    static constexpr auto UPLOAD_TIMEOUT = std::chrono::minutes(5);
    // The status poll, in the lifecycle's seconds: often while someone watches the page (asked for
    // /status or /activity within WATCHED_FOR) or a command runs, seldom otherwise.
    static constexpr long long WATCHED_POLL_SECONDS = 5;
    static constexpr long long UNWATCHED_POLL_SECONDS = 30;
    static constexpr long long WATCHED_FOR_SECONDS = 60;
    static constexpr auto HEARTBEAT_PERIOD = std::chrono::hours(1);
    static constexpr std::size_t IPERF_MAX_OUTPUT_LINES = 400;

    // --- lifecycle (application.cpp) ---
    void open_api_socket_to_all() const;
    void on_listen(http_server::listen_socket* listen_socket);
    void ensure_data_dir() const;
    void init_paths();
    void init_paths_from(const std::filesystem::path& app_dir);
    void start_signal_reader();
    void on_signal(int signal_number);
    void close_signal_fd();
    // Stops the children and the background threads before the state they use goes away.
    void stop_background_work();
    bool stopping() const { return m_stopping.load(); }

    // --- command queue (application.cpp) ---
    // Queues an operator's command; its end is answered on `res`. False when the queue was full
    // (answered 503 already).
    bool queue_job(const response_ptr& res, command_job job);
    // A job that runs one command line.
    std::function<job_result()> one_command(std::vector<std::string> args);
    // The name tells the operator what runs (GET /activity): "up", "debug bundle", ...
    bool enqueue_command(std::string name, std::function<void()> job);
    // Ahead of every queued job, and never refused.
    void enqueue_command_first(std::string name, std::function<void()> job);
    void command_worker_loop();
    void wake_status_poller();
    // Hands a step to the main thread's event loop; callable from any thread.
    void defer(std::function<void()> task);

    // --- settings store and APIs (settings.cpp) ---
    void load_state();
    // The settings the daemon runs with, commands included: those its file holds.
    const nlohmann::json& saved_settings() const { return m_app_settings.saved(); }
    std::string build_config_json() const;
    void api_config_get(const response_ptr& res, const request& req);
    void api_config_set(const response_ptr& res, const request& req);
    void api_env_get(const response_ptr& res, const request& req);
    void api_env_set(const response_ptr& res, const request& req);
    // Side effects of a saved setting change, then the settings document as the answer.
    void apply_setting_change(const response_ptr& res, const settings_table::descriptor& setting,
                              const std::string& value, bool changed);
    // Saves (or, without content, removes) a settings file on the settings writer; `finished`
    // gets the outcome on the loop.
    void save_settings_file(const std::filesystem::path& path, std::optional<std::string> content,
                            std::function<void(bool saved)> finished);

    // --- NetBird command lines, environment and runner (netbird_commands.cpp) ---
    std::vector<std::string> base_args_cli() const;
    std::vector<std::string> base_args_service() const;
    std::vector<std::string> build_up_args(const form& fields) const;
    // Why build_up_args leaves the external IP map out now (logged), or "" when it does not.
    std::string external_ip_map_note() const;
    std::vector<std::pair<std::string, std::string>> system_env() const;
    std::map<std::string, std::string> build_command_env() const;
    command_result run_command(const std::vector<std::string>& args, bool quiet) const;
    // The same run with another limit than COMMAND_TIMEOUT.
    command_result run_command(const std::vector<std::string>& args, bool quiet, std::chrono::seconds time_limit) const;
    // m_command_mutex for a queued job; a status poll that holds it gives way at once instead of
    // keeping the job waiting for up to a minute.
    std::unique_lock<std::mutex> lock_for_command();

    // --- service lifecycle, status polling and watchdog (vpn_service.cpp) ---
    void start_service();
    void stop_service();
    void restart_service();
    bool service_running() const;
    bool end_service();
    void log_service_line(std::string& line);
    void start_watchdog();
    void watchdog_loop();
    bool wait_for_watchdog_cycle(clock::time_point deadline, bool& woken);
    clock::duration poll_period();
    // Called by /status and /activity: polls go faster while someone watches.
    void note_watcher();
    std::optional<command_result> poll_status();
    // Stores a poll's result and hands what it says to the lifecycle.
    void take_status_snapshot(command_result snapshot);
    void take_status_snapshot(command_result snapshot, clock::time_point now);  // time seam for tests
    void log_heartbeat(bool management_connected);
    void check_service_exited();
    // One watchdog cycle's turn of the lifecycle; `now` is a time seam for tests.
    void lifecycle_tick(clock::time_point now);
    // Carries out what the lifecycle decided, and saves a changed registration.
    void carry_out(vpn_lifecycle::action action);
    // Every restart is counted here, by the cause the lifecycle gave it.
    void count_restart();
    // The lifecycle's periods from the settings and the test seam.
    vpn_lifecycle::timing lifecycle_timing() const;
    // Whether the camera is registered: config.json exists and the client does not say otherwise.
    bool registered() const;
    // Before the service starts: the saved registration, or today's guess from config.json.
    void assume_registration_at_start();
    void save_registration();
    // The lifecycle's state, reason, wish, back-off and last fatal line, for /status and /activity.
    nlohmann::json lifecycle_json(clock::time_point now) const;

    // --- VPN control and status endpoints (vpn_api.cpp) ---
    // From a job: runs task on the loop and waits for it; false when the process stops first.
    bool run_on_loop_and_wait(std::function<void()> task);
    void api_status(const response_ptr& res, const request& req);
    vpn_api::status_freshness status_freshness_now() const;
    void api_up(const response_ptr& res, const request& req);
    std::optional<std::string_view> up_refusal(const form& fields) const;
    void run_up_job(const response_ptr& res, const form& fields, bool up_setting_changed);
    void api_down(const response_ptr& res, const request& req);
    void api_reconnect(const response_ptr& res, const request& req);
    void api_restart(const response_ptr& res, const request& req);
    void api_deregister(const response_ptr& res, const request& req);
    void end_deregistration(bool reset, const nlohmann::json& settings_before);
    bool moves_to_other_management(const form& fields) const;
    // The part of an `up` command line that comes from the stored settings (no form, so no lazy flag).
    std::vector<std::string> up_settings() const;
    void finish_up(const job_result& result, const std::vector<std::string>& settings);

    // --- log sinks, maintenance, logs API and storage (logs.cpp) ---
    void apply_log_level(const std::string& level) const;
    void compress_daily_logs() const;
    void prune_daily_logs(int days) const;
    // Runs `work` on the log maintenance thread, then `then` (when given) on the loop.
    void run_log_maintenance(std::function<void()> work, std::function<void()> then = {});
    std::string build_logs_list_json() const;
    std::optional<std::filesystem::path> resolve_log_file(std::string_view source, std::string_view name) const;
    std::string build_storage_json() const;
    void api_logs_tail(const response_ptr& res, const request& req);
    void api_logs_list(const response_ptr& res, const request& req);
    void api_logs_download(const response_ptr& res, const request& req);
    void api_storage(const response_ptr& res, const request& req);

    // --- iperf3 server (iperf_server.cpp) ---
    bool start_iperf_server(int port, int idle_timeout, bool one_shot);
    void stop_iperf_server();
    void reap_iperf_if_exited();
    void keep_iperf_line(std::string& line);
    std::string iperf_status_json();
    void api_iperf_start(const response_ptr& res, const request& req);
    void api_iperf_stop(const response_ptr& res, const request& req);
    void api_iperf_status(const response_ptr& res, const request& req);

    // --- debug bundle (debug_bundle.cpp) ---
    void api_debug_bundle(const response_ptr& res, const request& req);
    void api_debug_bundle_upload(const response_ptr& res, const request& req);
    void sweep_late_bundles();
    // The end of a bundle job on the loop.
    void end_bundle_job(bool failed);

    // --- what runs now: the queued command and the service's life (activity_report.cpp) ---
    activity_report::activity current_activity(clock::time_point now);
    void api_activity(const response_ptr& res, const request& req);

    // --- the connection journal (journal_api.cpp) ---
    void load_journal();
    // The hooks' one line: an event now.
    void record_event(std::string kind, std::string detail = {});
    // An operator's command has ended: journaled with its result, and the snapshots taken before it
    // no longer show the client's state.
    void note_command_end(const std::string& name, int exit_code);
    void api_journal(const response_ptr& res, const request& req);

    // --- HTTP routes (application.cpp) ---
    void setup_routes(http_server::app& app);

    // Identity and paths
    std::string m_app_name;
    std::filesystem::path m_data_dir;
    std::filesystem::path m_netbird_path;
    std::filesystem::path m_iperf3_path;
    std::filesystem::path m_config_path;
    std::filesystem::path m_log_path;
    std::filesystem::path m_log_dir;
    std::filesystem::path m_socket_path;
    std::filesystem::path m_api_socket_path;
    std::filesystem::path m_env_path;
    std::filesystem::path m_app_config_path;
    std::filesystem::path m_journal_path;
    std::filesystem::path m_registration_path;

    // The length of one second, shorter only in tests: in the lifecycle's back-off, polls and
    // windows (OVRA_TEST_SECOND_MS), and in the time limits of commands and of the API's
    // connections (OVRA_TEST_LIMIT_SECOND_MS).
    const clock::duration m_lifecycle_second = time_utils::second_from_environment("OVRA_TEST_SECOND_MS");
    const clock::duration m_limit_second = time_utils::second_from_environment("OVRA_TEST_LIMIT_SECOND_MS");

    // NetBird service process
    std::unique_ptr<boost::process::child> m_service_process;
    line_reader m_service_log;
    // The last fatal line the service printed and when (system time), from any thread: kept
    // across restarts, so the page can show why the service does not stay up.
    struct fatal_line {
        std::string line;
        std::chrono::system_clock::time_point at;
        clock::time_point seen;
    };
    std::optional<fatal_line> m_last_fatal;
    mutable std::mutex m_fatal_mutex;
    // On the loop only: when the running service started, how often it was restarted but not by the
    // operator, and the recent restarts by cause.
    clock::time_point m_service_started_at{};
    int m_service_restarts = 0;
    restart_history m_recent_restarts{m_lifecycle_second};
    std::shared_ptr<spdlog::logger> m_netbird_file_logger;

    // iperf3 server
    std::unique_ptr<boost::process::child> m_iperf_process;
    line_reader m_iperf_log;
    std::mutex m_iperf_mutex;
    std::deque<std::string> m_iperf_output;
    int m_iperf_port = 0;
    clock::time_point m_iperf_started_at{};

    // Settings
    std::map<std::string, std::string> m_env_overrides;
    // With the changes whose save is under way: what the next change builds on. What runs reads
    // saved_settings().
    nlohmann::json m_app_config;
    // The settings document by the values it shows; like m_app_config, used on the loop only.
    mutable document_cache<nlohmann::json> m_config_document;
    // Durable saves, off the loop; the two documents change in memory at once (settings.cpp).
    worker_thread m_settings_writer;
    saved_document<nlohmann::json> m_app_settings{
        m_app_config, nullptr, settings_files::settings_file_text, [this](std::optional<std::string> content, auto finished) {
            save_settings_file(m_app_config_path, std::move(content), std::move(finished));
        }};
    saved_document<std::map<std::string, std::string>> m_env_settings{
        m_env_overrides, &m_env_mutex, [](const auto& overrides) { return settings_files::settings_file_text(overrides); },
        [this](std::optional<std::string> content, auto finished) {
            save_settings_file(m_env_path, std::move(content), std::move(finished));
        }};

    // What happened to the VPN; saved on the settings writer like the settings (journal_api.cpp).
    connection_journal m_journal{[this](std::optional<std::string> content, auto finished) {
        save_settings_file(m_journal_path, std::move(content), std::move(finished));
    }};

    // Log compression and pruning, off the loop; the logs list until a listed file changes
    // (logs.cpp).
    worker_thread m_log_maintenance;
    mutable directory_watch m_log_files_watch;
    mutable std::string m_logs_list_document;

    // Event loop
    http_server::event_loop* m_loop = nullptr;
    http_server::app* m_http = nullptr;

    // Command execution
    mutable std::mutex m_command_mutex;
    // Set while the command worker waits for m_command_mutex. The only other holder is the status
    // poll, whose run ends early when this is set.
    std::atomic<bool> m_command_waiting{false};
    mutable std::mutex m_env_mutex;
    std::thread m_command_thread;
    struct named_job {
        std::string name;
        std::function<void()> run;
    };
    std::deque<named_job> m_command_queue;
    // The job the worker has taken and when; guarded by m_queue_mutex like the queue.
    std::optional<std::string> m_running_command;
    clock::time_point m_running_since{};
    std::mutex m_queue_mutex;
    std::condition_variable m_queue_cv;

    // Status snapshot and poller wake-up
    std::optional<command_result> m_status_snapshot;
    // When the snapshot was stored, and when the last command that may change the client's state ended.
    clock::time_point m_status_snapshot_at{};
    std::chrono::system_clock::time_point m_status_polled_at{};
    std::optional<clock::time_point> m_last_command_end;
    // The /status document of the latest snapshot, registration, flags, lifecycle and freshness (vpn_api.cpp).
    document_cache<int, std::string, bool, bool, bool, nlohmann::json, vpn_api::status_freshness> m_status_document;
    // When /status or /activity was last asked for, in clock ticks.
    std::atomic<clock::rep> m_last_watched{0};
    std::mutex m_poll_mutex;
    std::condition_variable m_poll_cv;
    bool m_poll_wake = false;
    std::thread m_watchdog_thread;

    // The VPN's lifecycle (vpn_lifecycle.hpp), on the loop only, and its registration on disk.
    bool m_shutting_down = false;
    vpn_lifecycle::machine m_lifecycle{vpn_lifecycle::registration::unknown};
    nlohmann::json m_registration_record = nlohmann::json::object();
    saved_document<nlohmann::json> m_registration_saved{
        m_registration_record, nullptr, settings_files::settings_file_text,
        [this](std::optional<std::string> content, auto finished) {
            save_settings_file(m_registration_path, std::move(content), std::move(finished));
        }};
    std::atomic<bool> m_pending_reconnect{false};
    std::atomic<bool> m_pending_restart{false};
    // Set when the process is ending: background threads leave their loops and running
    // commands are killed, so nothing outlives the state it refers to.
    std::atomic<bool> m_stopping{false};
    bool m_stopped_by_signal = false;
    int m_signal_fd = -1;
    int m_stop_event_fd = -1;
    std::thread m_signal_thread;

    clock::time_point m_started_at{};

    // Debug bundles queued or running, and until when a bundle zip may still appear after a
    // failed one (debug_bundle.cpp); both on the loop only.
    int m_bundle_jobs = 0;
    std::optional<clock::time_point> m_late_bundle_sweep_until;
};

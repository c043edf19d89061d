#pragma once
// The one way tests reach inside the application, for what only run(), teardown and the HTTP API
// would otherwise drive or set. Each member only forwards to the private member of its name.

#include "application.hpp"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct application_test_access {
    using clock = application::clock;
    static constexpr auto COMMAND_TIMEOUT = application::COMMAND_TIMEOUT;
    static constexpr auto HEARTBEAT_PERIOD = application::HEARTBEAT_PERIOD;

    // Settings and NetBird command lines
    static void load_state(application& app) { app.load_state(); }
    static std::string build_config_json(const application& app) { return app.build_config_json(); }
    static std::vector<std::string> base_args_cli(const application& app) { return app.base_args_cli(); }
    static std::vector<std::string> base_args_service(const application& app) { return app.base_args_service(); }
    static std::vector<std::string> build_up_args(const application& app, const api_helpers::form& fields) {
        return app.build_up_args(fields);
    }
    static std::map<std::string, std::string> build_command_env(const application& app) {
        return app.build_command_env();
    }
    static std::vector<std::pair<std::string, std::string>> system_env(const application& app) {
        return app.system_env();
    }
    static command_result run_command(const application& app, const std::vector<std::string>& args, bool quiet,
                                      std::chrono::seconds time_limit) {
        return app.run_command(args, quiet, time_limit);
    }
    static void request_stop(application& app) { app.m_stopping = true; }

    // Service, registration and watchdog
    static void start_service(application& app) { app.start_service(); }
    static void stop_service(application& app) { app.stop_service(); }
    static void restart_service(application& app) { app.restart_service(); }
    static bool service_running(const application& app) { return app.service_running(); }
    static bool registered(const application& app) { return app.registered(); }
    static void assume_registration_at_start(application& app) { app.assume_registration_at_start(); }
    static void take_status_snapshot(application& app, command_result snapshot) {
        app.take_status_snapshot(std::move(snapshot));
    }
    static void take_status_snapshot(application& app, command_result snapshot, clock::time_point now) {
        app.take_status_snapshot(std::move(snapshot), now);
    }
    static void set_pending_restart(application& app) { app.m_pending_restart = true; }
    static bool pending_restart(const application& app) { return app.m_pending_restart.load(); }

    // Logs
    static void compress_daily_logs(const application& app) { app.compress_daily_logs(); }
    static void prune_daily_logs(const application& app, int days) { app.prune_daily_logs(days); }
    static std::string build_logs_list_json(const application& app) { return app.build_logs_list_json(); }
    static std::optional<std::filesystem::path> resolve_log_file(const application& app, std::string_view source,
                                                                 std::string_view name) {
        return app.resolve_log_file(source, name);
    }
    static std::string build_storage_json(const application& app) { return app.build_storage_json(); }

    // iperf3 server
    static bool start_iperf_server(application& app, int port, int idle_timeout, bool one_shot) {
        return app.start_iperf_server(port, idle_timeout, one_shot);
    }
    static void reap_iperf_if_exited(application& app) { app.reap_iperf_if_exited(); }
    static std::string iperf_status_json(application& app) { return app.iperf_status_json(); }

    // Debug bundle
    static void start_bundle_job(application& app) { ++app.m_bundle_jobs; }
    static void end_bundle_job(application& app, bool failed) { app.end_bundle_job(failed); }
    static void sweep_late_bundles(application& app) { app.sweep_late_bundles(); }
};

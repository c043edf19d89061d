// The on-demand iperf3 server: one child at a time, its output kept as the last lines, and the
// three routes that start, stop and watch it.

#include <utility>

#include "api_helpers.hpp"
#include "application.hpp"
#include "iperf_utils.hpp"
#include "process_utils.hpp"

#include <boost/process/args.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <spdlog/spdlog.h>

namespace bp = boost::process;
namespace fs = std::filesystem;

using api_helpers::dump_json;
using api_helpers::error_json;
using api_helpers::read_form;
using api_helpers::write_json;
using http_status = http_server::status;

namespace {

constexpr const char* PORT_RANGE_ERROR = "Port must be an integer between 1024 and 65535";
constexpr const char* IDLE_TIMEOUT_RANGE_ERROR = "Idle timeout must be an integer between 5 and 3600 seconds";
constexpr const char* START_FAILED_ERROR = "Could not start iperf3 server";

// A child whose state cannot be read counts as gone, so that it is reaped rather than kept.
bool is_running(const std::unique_ptr<bp::child>& process) {
    std::error_code ec;
    return process && process->running(ec);
}

}  // namespace

bool application::start_iperf_server(int port, int idle_timeout, bool one_shot) {
    if (is_running(m_iperf_process)) return true;
    stop_iperf_server();

    // Also an unreadable path counts as missing: nothing could be started from it.
    std::error_code ec;
    if (!fs::exists(m_iperf3_path, ec)) {
        spdlog::error("iperf3 binary not found at {}", m_iperf3_path.string());
        return false;
    }
    try {
        bp::pipe output = process_utils::cloexec_pipe();
        m_iperf_process = std::make_unique<bp::child>(process_utils::start_child(
            bp::exe = m_iperf3_path.string(), bp::args = iperf_utils::iperf_server_args(port, idle_timeout, one_shot),
            bp::std_in < bp::null, (bp::std_out & bp::std_err) > output));
        {
            std::lock_guard lock(m_iperf_mutex);
            m_iperf_output.clear();
            m_iperf_port = port;
        }
        m_iperf_started_at = clock::now();
        m_iperf_log.start(process_utils::take_read_end(output), [this](std::string& line) { keep_iperf_line(line); },
                          "iperf3 output");
    } catch (const std::exception& e) {
        spdlog::error("Failed to start iperf3 server: {}", e.what());
        stop_iperf_server();  // a child started before the failure must not run unwatched
        return false;
    }
    spdlog::info("iperf3 server started on port {} (idle-timeout {}s{})", port, idle_timeout,
                 one_shot ? ", one-off" : "");
    return true;
}

// The whole process group goes, so helpers of the server go with it and its output reaches end of
// file; a helper that left the group holds up the stop for the short grace only.
void application::stop_iperf_server() {
    if (m_iperf_process) {
        try {
            process_utils::kill_group_and_reap(*m_iperf_process);
        } catch (const std::exception& e) {
            spdlog::error("Failed to stop iperf3 server: {}", e.what());
        }
        m_iperf_process.reset();
    }
    m_iperf_log.stop(process_utils::OUTPUT_GRACE);
    std::lock_guard lock(m_iperf_mutex);
    m_iperf_port = 0;
}

void application::reap_iperf_if_exited() {
    if (!m_iperf_process || is_running(m_iperf_process)) return;
    spdlog::info("iperf3 server exited");
    stop_iperf_server();
}

void application::keep_iperf_line(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    {
        std::lock_guard lock(m_iperf_mutex);
        m_iperf_output.push_back(line);
        if (m_iperf_output.size() > IPERF_MAX_OUTPUT_LINES) m_iperf_output.pop_front();
    }
    spdlog::debug("[iperf3] {}", line);
}

std::string application::iperf_status_json() {
    const bool running = is_running(m_iperf_process);
    const auto uptime = running ? std::chrono::duration_cast<std::chrono::seconds>(clock::now() - m_iperf_started_at)
                                      .count()
                                : 0;
    std::string output;
    int port = 0;
    {
        std::lock_guard lock(m_iperf_mutex);
        port = m_iperf_port;
        for (const std::string& line : m_iperf_output) output.append(line).push_back('\n');
    }
    return dump_json({{"output", output}, {"port", port}, {"running", running}, {"uptime_seconds", uptime}});
}

void application::api_iperf_start(const response_ptr& res, const request& /*req*/) {
    read_form(res, [this, res](form fields) {
        const auto wanted = iperf_utils::read_server_request(fields);
        if (!iperf_utils::is_valid_iperf_port(wanted.port))
            return write_json(res, error_json(PORT_RANGE_ERROR), http_status::bad_request, true);
        if (!iperf_utils::is_valid_iperf_idle_timeout(wanted.idle_timeout))
            return write_json(res, error_json(IDLE_TIMEOUT_RANGE_ERROR), http_status::bad_request, true);
        if (!start_iperf_server(wanted.port, wanted.idle_timeout, wanted.one_shot))
            return write_json(res, error_json(START_FAILED_ERROR), http_status::internal_server_error, true);
        write_json(res, iperf_status_json(), http_status::ok, true);
    });
}

void application::api_iperf_stop(const response_ptr& res, const request& /*req*/) {
    stop_iperf_server();
    write_json(res, iperf_status_json(), http_status::ok, true);
}

void application::api_iperf_status(const response_ptr& res, const request& /*req*/) {
    reap_iperf_if_exited();
    write_json(res, iperf_status_json(), http_status::ok, true);
}

#include "application.hpp"

#include "api_helpers.hpp"
#include "config_utils.hpp"
#include "file_utils.hpp"
#include "json_utils.hpp"
#include "netbird_utils.hpp"
#include "settings_values.hpp"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A private file holding exactly the key; an empty path when it could not be made.
fs::path write_setup_key_file(const fs::path& dir, std::string_view key) {
    std::string path = (dir / (std::string(netbird_utils::SETUP_KEY_FILE_PREFIX) + "XXXXXX")).string();
    // Close-on-exec: the command worker may start a child while the file is still open.
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return {};
    bool staged = ::fchmod(fd, 0600) == 0 && file_utils::write_all(fd, key);
    staged = ::close(fd) == 0 && staged;
    if (staged) return path;
    std::error_code ignored;
    fs::remove(path, ignored);
    return {};
}

// Owns a staged setup-key file. The command's completion removes it; when the command never
// runs (queue full, shutdown) the file goes with the last owner.
class staged_key_file {
public:
    explicit staged_key_file(fs::path path) : m_path(std::move(path)) {}
    ~staged_key_file() { remove(); }
    staged_key_file(const staged_key_file&) = delete;
    staged_key_file& operator=(const staged_key_file&) = delete;

    const fs::path& path() const { return m_path; }
    void remove() {
        if (m_path.empty()) return;
        std::error_code ignored;
        fs::remove(m_path, ignored);
        m_path.clear();
    }

private:
    fs::path m_path;
};

std::vector<std::string> with_command(std::vector<std::string> args, const char* command) {
    args.emplace_back(command);
    return args;
}

// Stores the form's non-empty setting fields unchecked; returns whether any was stored.
bool store_form_settings(nlohmann::json& config, const application::form& fields) {
    bool stored = false;
    for (const auto& [name, value] : fields) {
        if (value.empty() || !config_utils::is_valid_config_key(name)) continue;
        config[name] = coerce_config_value(name, value);
        stored = true;
    }
    return stored;
}

// Removes every entry of dir except the ones kept. The listing stops at its first error.
void clear_directory_except(const fs::path& dir, const std::vector<fs::path>& kept) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (const fs::path& entry : entries) {
        if (std::find(kept.begin(), kept.end(), entry) != kept.end()) continue;
        std::error_code ignored;
        fs::remove_all(entry, ignored);
    }
}

const std::string& status_text(const application::command_result& result) {
    return result.stdout_data.empty() ? result.stderr_data : result.stdout_data;
}

}  // namespace

std::string application::build_json_result(int exit_code, const std::string& output) {
    return dump_json(nlohmann::json{{"exit_code", exit_code}, {"ok", exit_code == 0}, {"output", output}});
}

std::string application::build_json_result(const command_result& result) {
    return build_json_result(result.exit_code, result.combined());
}

std::string application::build_status_json(int exit_code, const std::string& output, bool registered,
                                           bool pending_reconnect, bool pending_restart) {
    nlohmann::json document{{"app_version", APP_VERSION},
                            {"exit_code", exit_code},
                            {"netbird_version", NETBIRD_VERSION},
                            {"ok", exit_code == 0},
                            {"pending_reconnect", pending_reconnect},
                            {"pending_restart", pending_restart},
                            {"registered", registered}};
    nlohmann::json parsed = json_utils::parse_bounded(output);
    if (parsed.is_discarded())
        document["output"] = output;
    else
        document["status"] = std::move(parsed);
    return dump_json(document);
}

void application::dispatch_command(std::string name, const response_ptr& res,
                                   std::shared_ptr<std::atomic<bool>> aborted,
                                   std::vector<std::string> args, bool no_store, result_renderer render,
                                   result_callback after) {
    auto command = [this, args = std::move(args)] { return run_command(args, false); };
    dispatch_job(std::move(name), res, std::move(aborted), std::move(command), no_store, std::move(render),
                 std::move(after));
}

void application::dispatch_job(std::string name, const response_ptr& res,
                               std::shared_ptr<std::atomic<bool>> aborted,
                               std::function<command_result()> commands, bool no_store,
                               result_renderer render, result_callback after) {
    if (!render) render = [](const command_result& result) { return build_json_result(result); };
    // The job hands its captures on to the completion, so the response and the callbacks are
    // released on the loop's thread, not on the worker's.
    auto job = [this, res, aborted, commands = std::move(commands), no_store, render = std::move(render),
                after = std::move(after)]() mutable {
        command_result result;
        {
            const auto lock = lock_for_command();
            result = commands();
        }
        defer([this, res = std::move(res), aborted = std::move(aborted), no_store, render = std::move(render),
               after = std::move(after), result = std::move(result)] {
            if (after) after(result);
            wake_status_poller();
            if (!aborted->load()) write_json(res, render(result), "200 OK", no_store);
        });
    };
    if (!enqueue_command(std::move(name), std::move(job)))
        write_json(res, build_json_result(503, "VPN service busy"), "503 Service Unavailable", no_store);
}

void application::api_status(const response_ptr& res, const request& /*req*/) {
    static const std::string no_text;
    const int exit_code = m_status_snapshot ? m_status_snapshot->exit_code : 1;
    const std::string& text = m_status_snapshot ? status_text(*m_status_snapshot) : no_text;
    std::error_code ec;
    const bool registered = fs::exists(m_config_path, ec);
    const std::string& document = m_status_document.get(build_status_json, exit_code, text, registered,
                                                        m_pending_reconnect.load(), m_pending_restart.load());
    write_json(res, document, "200 OK", true);
}

void application::api_up(const response_ptr& res, const request& /*req*/) {
    read_form(res, [this, res](form fields) {
        m_desired_up = true;
        if (nlohmann::json config = m_app_config; store_form_settings(config, fields))
            m_app_settings.update([fields](nlohmann::json& stored) { store_form_settings(stored, fields); }, {});
        std::vector<std::string> args = build_up_args(fields);

        std::shared_ptr<staged_key_file> key_file;
        if (const auto key = fields.find("setup_key"); key != fields.end() && !key->second.empty()) {
            key_file = std::make_shared<staged_key_file>(write_setup_key_file(m_data_dir, key->second));
            if (key_file->path().empty()) {
                spdlog::error("Could not stage setup-key file");
                write_json(res, error_json("Could not stage setup key"), "500 Internal Server Error", true);
                return;
            }
            args.insert(args.end(), {"--setup-key-file", key_file->path().string()});
        }
        auto after = [this, key_file = std::move(key_file)](const command_result& result) {
            if (key_file) key_file->remove();
            if (result.exit_code == 0) m_pending_reconnect = false;
        };
        dispatch_command("up", res, make_abort_guard(res), std::move(args), false, {}, std::move(after));
    });
}

void application::api_down(const response_ptr& res, const request& /*req*/) {
    m_desired_up = false;
    m_pending_reconnect = false;
    dispatch_command("down", res, make_abort_guard(res), with_command(base_args_cli(), "down"), false, {}, {});
}

void application::api_reconnect(const response_ptr& res, const request& /*req*/) {
    read_form(res, [this, res](form fields) {
        m_desired_up = true;
        // One job, so no other NetBird command runs between the down and the up.
        auto commands = [this, down = with_command(base_args_cli(), "down"), up = build_up_args(fields)] {
            run_command(down, false);
            return run_command(up, false);
        };
        auto after = [this](const command_result& up_result) {
            restart_service();
            if (up_result.exit_code == 0) m_pending_reconnect = false;
        };
        dispatch_job("reconnect", res, make_abort_guard(res), std::move(commands), false, {}, std::move(after));
    });
}

void application::api_restart(const response_ptr& res, const request& /*req*/) {
    restart_service();
    wake_status_poller();
    write_json(res, dump_json(nlohmann::json{{"running", service_running()}}), "200 OK", true);
}

void application::api_deregister(const response_ptr& res, const request& /*req*/) {
    m_desired_up = false;
    // Whatever the command's outcome, the device starts over: only the overrides and the logs stay.
    auto reset_local_state = [this](const command_result&) {
        stop_service();
        clear_directory_except(m_data_dir, {m_env_path, m_log_dir});
        m_app_settings.update_removing_file([](nlohmann::json& config) { config = nlohmann::json::object(); }, {});
        m_pending_reconnect = false;
        m_pending_restart = false;
        start_service();
    };
    dispatch_command("deregister", res, make_abort_guard(res), with_command(base_args_cli(), "deregister"), false, {},
                     std::move(reset_local_state));
}

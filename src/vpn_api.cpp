#include "application.hpp"

#include "api_helpers.hpp"
#include "file_utils.hpp"
#include "json_utils.hpp"
#include "netbird_utils.hpp"
#include "settings_files.hpp"
#include "settings_table.hpp"
#include "versions.hpp"
#include "vpn_api.hpp"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <future>
#include <spdlog/spdlog.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

using api_helpers::dump_json;
using api_helpers::error_json;
using api_helpers::read_form;
using api_helpers::write_json;
using http_status = http_server::status;
using vpn_api::build_status_json;

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

// Why the form's non-empty setting fields cannot be stored (the first refused), or nothing.
std::optional<std::string_view> form_settings_refusal(const api_helpers::form& fields) {
    for (const auto& [name, value] : fields) {
        const settings_table::descriptor* setting = settings_table::find(name);
        if (value.empty() || setting == nullptr) continue;
        if (const auto refusal = settings_table::refusal(*setting, value)) return refusal;
    }
    return std::nullopt;
}

// Stores the form's non-empty setting fields (checked by form_settings_refusal).
struct stored_form {
    bool any_given = false;
    bool any_changed = false;
    bool up_setting_changed = false;
};
stored_form store_form_settings(nlohmann::json& config, const api_helpers::form& fields) {
    stored_form stored;
    for (const auto& [name, value] : fields) {
        const settings_table::descriptor* setting = settings_table::find(name);
        if (value.empty() || setting == nullptr) continue;
        stored.any_given = true;
        nlohmann::json coerced = settings_table::stored_form(*setting, value);
        const auto old = config.find(name);
        if (old != config.end() && *old == coerced) continue;
        config[name] = std::move(coerced);
        stored.any_changed = true;
        stored.up_setting_changed = stored.up_setting_changed || setting->reaches_client();
    }
    return stored;
}

// The client's answer to `up` while connected: it then applies none of the flags given.
bool says_already_connected(const command_result& result) {
    if (result.exit_code != 0) return false;
    std::string_view rest = result.stdout_data;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (line == "Already connected") return true;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return false;
}

using command_runner = std::function<command_result(const std::vector<std::string>&)>;

// Whether an `up` applied its command line: a connected client applies none of it.
bool applied_by(const command_result& up) { return up.exit_code == 0 && !says_already_connected(up); }

// Runs `up`. A client that is already connected applies nothing and says so; when there are changes
// for it (apply_if_connected), the connection goes down and up again with the same command line.
job_result run_up(const command_runner& run, const std::vector<std::string>& up, const std::vector<std::string>& down,
                  bool apply_if_connected) {
    command_result first = run(up);
    if (!says_already_connected(first) || !apply_if_connected) {
        const bool applied = applied_by(first);
        return {std::move(first), applied};
    }
    command_result taken_down = run(down);
    std::string report = "Already connected; applying the changed settings: down, then up again.\n";
    report += taken_down.combined();
    if (taken_down.exit_code != 0) return {{taken_down.exit_code, report, ""}};
    command_result second = run(up);
    report += second.combined();
    const bool applied = applied_by(second);
    return {{second.exit_code, std::move(report), ""}, applied};
}

// The data directory's entries that a deregistration keeps: those named (the logs, and files that
// their own writers save or remove, each with the files of a save that may be under way), and the
// setup keys staged by `up` requests that arrived after it and still wait for their turn.
bool survives_deregistration(const fs::path& entry, std::initializer_list<fs::path> kept) {
    return std::any_of(kept.begin(), kept.end(),
                       [&entry](const fs::path& path) { return settings_files::is_file_or_companion(entry, path); }) ||
           entry.filename().string().starts_with(netbird_utils::SETUP_KEY_FILE_PREFIX);
}

// Removes every entry of dir that keep() does not spare. The listing stops at its first error.
void clear_directory(const fs::path& dir, const std::function<bool(const fs::path&)>& keep) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (const fs::path& entry : entries) {
        if (keep(entry)) continue;
        std::error_code ignored;
        fs::remove_all(entry, ignored);
    }
}

// The refusals of an `up` without a key: an error document for the page that also has the members
// of a command's result document.
constexpr const char* SETUP_KEY_NEEDED = "A setup key is needed: this camera is not registered with NetBird.";
// The client saves the new address before it logs in; the server there does not know the peer, so
// without a key the camera would end offline, pointing at a server that does not know it.
constexpr const char* MOVE_NEEDS_KEY =
    "A setup key is needed to change the management server: this camera is registered with the current one, "
    "and the new one does not know it.";

constexpr const char* SETTINGS_NOT_SAVED = "Could not save settings";

std::string refusal_json(const std::string& message) {
    return dump_json(nlohmann::json{{"error", message}, {"exit_code", 400}, {"ok", false}, {"output", message}});
}

// The note of a deregistration that reset the camera although management did not confirm it.
constexpr const char* FORCED_DEREGISTRATION_NOTE =
    "\nThe camera was reset locally. Remove its peer in the NetBird dashboard: the management server still "
    "lists it.\n";

constexpr const char* INVALID_SETUP_KEY =
    "The setup key is not one NetBird accepts: it is a UUID such as 01234567-89AB-CDEF-0123-456789ABCDEF.";

constexpr auto LOOP_WAIT_STEP = std::chrono::milliseconds(100);

// What the client prints when its service runs but its state holds the last connection error.
constexpr std::string_view STATUS_FAILED = "status failed: ";

std::string trimmed_line(std::string_view text) {
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
    return std::string(text);
}

const std::string& status_text(const command_result& result) {
    return result.stdout_data.empty() ? result.stderr_data : result.stdout_data;
}

}  // namespace

namespace vpn_api {

std::string build_json_result(int exit_code, const std::string& output) {
    return dump_json(nlohmann::json{{"exit_code", exit_code}, {"ok", exit_code == 0}, {"output", output}});
}

std::string build_json_result(const command_result& result) {
    return build_json_result(result.exit_code, result.combined());
}

std::string build_status_json(int exit_code, const std::string& output, bool registered, bool pending_reconnect,
                              bool pending_restart, const nlohmann::json& lifecycle,
                              const status_freshness& freshness) {
    const bool polled = freshness.polled_at_ms.has_value();
    const nlohmann::json polled_at = polled ? nlohmann::json(static_cast<double>(*freshness.polled_at_ms) / 1000.0)
                                            : nlohmann::json(nullptr);
    nlohmann::json document{{"app_version", versions::APP},
                            {"command_ended_after_poll", freshness.command_ended_after_poll},
                            {"exit_code", exit_code},
                            {"netbird_version", versions::NETBIRD},
                            {"ok", exit_code == 0},
                            {"pending_reconnect", pending_reconnect},
                            {"pending_restart", pending_restart},
                            {"polled_at", polled_at},
                            {"registered", registered},
                            {"service_running", freshness.service_running},
                            {"snapshot_age_seconds", polled ? nlohmann::json(freshness.age_seconds) : nullptr},
                            {"lifecycle", lifecycle}};
    if (const auto failed = output.find(STATUS_FAILED); exit_code != 0 && failed != std::string::npos)
        document["client_message"] = trimmed_line(std::string_view(output).substr(failed + STATUS_FAILED.size()));
    nlohmann::json parsed = json_utils::parse_bounded(output);
    if (parsed.is_discarded())
        document["output"] = output;
    else
        document["status"] = std::move(parsed);
    return dump_json(document);
}

}  // namespace vpn_api

// The caller keeps the command lock meanwhile, so neither the next job nor a status poll runs
// before the loop has done its part.
bool application::run_on_loop_and_wait(std::function<void()> task) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    defer([task = std::move(task), done] {
        task();
        done->set_value();
    });
    while (finished.wait_for(LOOP_WAIT_STEP) != std::future_status::ready)
        if (stopping()) return false;
    return true;
}

void application::api_status(const response_ptr& res, const request& /*req*/) {
    note_watcher();
    static const std::string no_text;
    const int exit_code = m_status_snapshot ? m_status_snapshot->exit_code : 1;
    const std::string& text = m_status_snapshot ? status_text(*m_status_snapshot) : no_text;
    const std::string& document = m_status_document.get(build_status_json, exit_code, text, registered(),
                                                        m_pending_reconnect.load(), m_pending_restart.load(),
                                                        lifecycle_json(clock::now()), status_freshness_now());
    write_json(res, document, http_status::ok, true);
}

vpn_api::status_freshness application::status_freshness_now() const {
    vpn_api::status_freshness freshness;
    freshness.service_running = service_running();
    if (!m_status_snapshot) return freshness;
    freshness.polled_at_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_status_polled_at.time_since_epoch()).count();
    freshness.age_seconds =
        std::chrono::duration_cast<std::chrono::seconds>(clock::now() - m_status_snapshot_at).count();
    freshness.command_ended_after_poll = m_last_command_end && *m_last_command_end > m_status_snapshot_at;
    return freshness;
}

void application::api_up(const response_ptr& res, const request& /*req*/) {
    read_form(res, [this, res](form fields) {
        if (const auto refusal = up_refusal(fields)) {
            write_json(res, refusal_json(std::string(*refusal)), http_status::bad_request, false);
            return;
        }
        nlohmann::json config = m_app_config;
        const stored_form stored = store_form_settings(config, fields);
        // The command line is built from the saved settings, so it waits for the save of the
        // form's values (or of the same values already under way).
        if (!stored.any_changed && !(stored.any_given && m_app_settings.saving())) {
            run_up_job(res, fields, false);
            return;
        }
        m_app_settings.update([fields](nlohmann::json& updated) { store_form_settings(updated, fields); },
                              [this, res, fields, changed = stored.up_setting_changed](bool saved) {
                                  if (saved)
                                      run_up_job(res, fields, changed);
                                  else
                                      write_json(res, error_json(SETTINGS_NOT_SAVED),
                                                 http_status::internal_server_error, true);
                              });
    });
}

// Why an `up` form is refused before anything is stored or run; nothing when it is taken.
std::optional<std::string_view> application::up_refusal(const form& fields) const {
    const auto key = fields.find("setup_key");
    const bool has_key = key != fields.end() && !key->second.empty();
    // Without a key the client starts a browser login and waits for it until the time limit.
    if (!has_key && !registered()) return SETUP_KEY_NEEDED;
    if (has_key && !netbird_utils::is_valid_setup_key(key->second)) return INVALID_SETUP_KEY;
    if (!has_key && moves_to_other_management(fields)) return MOVE_NEEDS_KEY;
    return form_settings_refusal(fields);
}

// Queues the `up` of a form whose settings are saved.
void application::run_up_job(const response_ptr& res, const form& fields, bool up_setting_changed) {
    m_lifecycle.operator_up();
    std::vector<std::string> args = build_up_args(fields);
    std::string note = external_ip_map_note();
    const bool apply_if_connected = m_pending_reconnect.load() || up_setting_changed;

    std::shared_ptr<staged_key_file> key_file;
    if (const auto key = fields.find("setup_key"); key != fields.end() && !key->second.empty()) {
        key_file = std::make_shared<staged_key_file>(write_setup_key_file(m_data_dir, key->second));
        if (key_file->path().empty()) {
            spdlog::error("Could not stage setup-key file");
            write_json(res, error_json("Could not stage setup key"), http_status::internal_server_error, true);
            return;
        }
        args.insert(args.end(), {"--setup-key-file", key_file->path().string()});
    }
    queue_job(res, {.name = "up",
                    .run = [this, up = std::move(args), down = with_command(base_args_cli(), "down"),
                            apply_if_connected, note = std::move(note)] {
                        job_result result = run_up([this](const auto& line) { return run_command(line, false); },
                                                   up, down, apply_if_connected);
                        result.command.stdout_data.insert(0, note);
                        return result;
                    },
                    .finish = [this, key_file = std::move(key_file),
                               settings = up_settings()](const job_result& result) {
                        if (key_file) key_file->remove();
                        finish_up(result, settings);
                    }});
}

void application::api_down(const response_ptr& res, const request& /*req*/) {
    m_lifecycle.operator_down();
    m_pending_reconnect = false;
    queue_job(res, {.name = "down", .run = one_command(with_command(base_args_cli(), "down"))});
}

void application::api_reconnect(const response_ptr& res, const request& /*req*/) {
    // The wish stays as it was: the restart at the end sends a `down` when the VPN is wanted down.
    read_form(res, [this, res](form fields) {
        // One job, so no other NetBird command runs between the down and the up.
        queue_job(res, {.name = "reconnect",
                        .run = [this, down = with_command(base_args_cli(), "down"), up = build_up_args(fields),
                                note = external_ip_map_note()] {
                            run_command(down, false);
                            command_result result = run_command(up, false);
                            const bool applied = applied_by(result);
                            result.stdout_data.insert(0, note);
                            return job_result{std::move(result), applied};
                        },
                        .finish = [this, settings = up_settings()](const job_result& result) {
                            carry_out(m_lifecycle.operator_restart());
                            finish_up(result, settings);
                        }});
    });
}

void application::api_restart(const response_ptr& res, const request& /*req*/) {
    carry_out(m_lifecycle.operator_restart());
    note_command_end("restart", service_running() ? 0 : 1);
    wake_status_poller();
    write_json(res, dump_json(nlohmann::json{{"running", service_running()}}), http_status::ok, true);
}

// The reset runs inside the deregistration's job, so a job queued after it (an `up` with a new
// key) starts only once the reset is done. A deregistration that management did not confirm keeps
// the camera as it is, unless the form says force=true: the peer then stays on the server, orphaned.
void application::api_deregister(const response_ptr& res, const request& /*req*/) {
    read_form(res, [this, res](form fields) {
        const bool force = fields["force"] == "true";
        const auto deregister = [this, force, settings = m_app_config,
                                 args = with_command(base_args_cli(), "deregister")] {
            command_result result = run_command(args, false);
            const bool reset = result.exit_code == 0 || force;
            run_on_loop_and_wait([this, reset, &settings] { end_deregistration(reset, settings); });
            if (reset && result.exit_code != 0) result.stdout_data += FORCED_DEREGISTRATION_NOTE;
            return job_result{std::move(result)};
        };
        if (!queue_job(res, {.name = "deregister", .run = deregister})) return;
        m_lifecycle.deregistration_started();
        m_pending_reconnect = false;
        m_app_settings.update_removing_file([](nlohmann::json& config) { config = nlohmann::json::object(); }, {});
    });
}

// The settings went when the deregistration was accepted, so those sent since are the ones that
// stay; a deregistration that changed nothing gives back those not set again meanwhile. A reset
// starts the device over with a fresh service and no config.json. A fresh camera has no wish of its
// own: nothing connects before an `up` with a key.
void application::end_deregistration(bool reset, const nlohmann::json& settings_before) {
    m_lifecycle.deregistration_ended(reset);
    if (!reset) {
        if (!settings_before.empty())
            m_app_settings.update([settings_before](nlohmann::json& config) {
                for (const auto& [name, value] : settings_before.items())
                    if (!config.contains(name)) config[name] = value;
            }, {});
        return;
    }
    m_lifecycle.operator_up();
    m_pending_restart = false;
    stop_service();
    clear_directory(m_data_dir, [this](const fs::path& entry) {
        return survives_deregistration(entry, {m_env_path, m_log_dir, m_app_config_path, m_registration_path,
                                               m_journal_path});
    });
    carry_out(vpn_lifecycle::action::none);  // saves the registration the reset changed, once
    start_service();
}

// Moving to another management server: a non-empty management_url in the form that differs from
// the stored one, on a registered camera.
bool application::moves_to_other_management(const form& fields) const {
    const auto url = fields.find("management_url");
    if (url == fields.end() || url->second.empty() || !registered()) return false;
    return url->second != settings_table::text_value(m_app_config, "management_url");
}

std::vector<std::string> application::up_settings() const { return build_up_args({}); }

// An up that succeeded has logged the client in, whatever the last poll said. It settles a pending
// reconnect only when it applied the settings as they are now: a change made while it was waiting
// or running still needs another one.
void application::finish_up(const job_result& result, const std::vector<std::string>& settings) {
    if (result.command.exit_code == 0) m_lifecycle.logged_in();
    carry_out(vpn_lifecycle::action::none);  // saves the registration when it changed
    if (result.applied && up_settings() == settings) m_pending_reconnect = false;
}

#include "application.hpp"

#include "api_helpers.hpp"
#include "netbird_utils.hpp"
#include "settings_files.hpp"
#include "settings_table.hpp"
#include "text_utils.hpp"

#include <spdlog/spdlog.h>

namespace fs = std::filesystem;
using nlohmann::json;

using api_helpers::dump_json;
using api_helpers::error_json;
using api_helpers::read_form;
using api_helpers::write_json;
using http_status = http_server::status;
using settings_files::load_json_file;
using settings_files::remove_file_durably;
using settings_files::replace_file_atomically;
using settings_files::temporary_path_for;
using settings_files::write_json_file;
using text_utils::escape_controls;

namespace {

// A crash while `up` had its setup key staged leaves that secret behind, and one during a save
// leaves the half-written temporary file.
void remove_crash_leftovers(const fs::path& data_dir, const std::vector<fs::path>& settings_files) {
    std::error_code ec;
    for (const fs::path& file : settings_files) fs::remove(temporary_path_for(file), ec);
    std::vector<fs::path> key_files;
    for (fs::directory_iterator it(data_dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().starts_with(netbird_utils::SETUP_KEY_FILE_PREFIX))
            key_files.push_back(it->path());
    for (const fs::path& file : key_files) fs::remove(file, ec);
}

std::map<std::string, std::string> string_members(const json& object) {
    std::map<std::string, std::string> strings;
    for (const auto& [key, value] : object.items())
        if (value.is_string()) strings.emplace(key, value.get<std::string>());
    return strings;
}

// Drops the overrides that must not reach NetBird, stored by an older version or by hand, then
// those beyond the budget of a child's environment (in key order, the first that fit stay), so
// that no command fails for them. Only names are logged: a dropped value may be a secret.
// Says whether anything was dropped.
bool drop_unusable_overrides(std::map<std::string, std::string>& overrides) {
    bool dropped = false;
    std::size_t kept = 0;
    std::size_t bytes = 0;
    for (auto it = overrides.begin(); it != overrides.end();) {
        const std::size_t entry_bytes = netbird_utils::env_entry_bytes(it->first, it->second);
        const bool beyond_budget = kept == netbird_utils::MAX_ENV_OVERRIDES ||
                                   bytes + entry_bytes > netbird_utils::MAX_ENV_OVERRIDE_BYTES;
        if (netbird_utils::is_unusable_override(it->first, it->second)) {
            spdlog::warn("NetBird env override dropped: {} is reserved or its value is refused", it->first);
        } else if (beyond_budget) {
            spdlog::warn("NetBird env override dropped: {} is beyond {} overrides or {} bytes", it->first,
                         netbird_utils::MAX_ENV_OVERRIDES, netbird_utils::MAX_ENV_OVERRIDE_BYTES);
        } else {
            ++kept;
            bytes += entry_bytes;
            ++it;
            continue;
        }
        it = overrides.erase(it);
        dropped = true;
    }
    return dropped;
}

// ---- config API ----

// An empty value is a reset, which needs no value check.
std::optional<std::string_view> config_request_error(std::string_view name, const settings_table::descriptor* setting,
                                                     std::string_view value) {
    if (name.empty()) return "Missing config name";
    if (setting == nullptr) return "Invalid config key";
    if (value.empty()) return std::nullopt;
    return settings_table::refusal(*setting, value);
}

// Whether storing `value` under name (removing it when there is none) changes the stored
// settings, under JSON equality.
bool setting_changes(const json& config, const std::string& name, const std::optional<json>& value) {
    const auto old = config.find(name);
    if (!value) return old != config.end();
    return old == config.end() || *old != *value;
}

void store_setting(json& config, const std::string& name, const std::optional<json>& value) {
    if (value)
        config[name] = *value;
    else if (config.is_object())
        config.erase(name);
}

// An empty value means the setting was reset.
void log_setting_change(std::string_view name, const std::string& value) {
    if (value.empty())
        spdlog::info("App setting reset: {}", name);
    else
        spdlog::info("App setting changed: {}={}", name, escape_controls(value));
}

// ---- env API ----

constexpr std::string_view READ_ONLY_KEY = "Env key is read-only";
constexpr std::string_view FLAG_MAPPED_KEY = "Use Tunnel settings for this NetBird flag";
constexpr std::string_view CONTRACT_KEY = "Env key is reserved: the system sets this NetBird flag itself";
constexpr std::string_view SECRET_KEY = "Env key would hold a secret, which is never stored";

// Why a name may never be overridden, whatever the value; nothing for a free name.
std::optional<std::string> protected_name_reason(std::string_view name) {
    if (netbird_utils::is_protected_env_key(name)) return std::string(READ_ONLY_KEY);
    if (netbird_utils::is_flag_mapped_env_key(name)) return std::string(FLAG_MAPPED_KEY);
    if (netbird_utils::is_contract_env_key(name)) return std::string(CONTRACT_KEY);
    if (netbird_utils::is_secret_env_key(name)) return std::string(SECRET_KEY);
    if (const auto reason = netbird_utils::guarded_key_reason(name)) return "Env key is protected: " + std::string(*reason);
    return std::nullopt;
}

// An empty value is a removal, which needs no value check.
std::optional<std::string> env_request_error(std::string_view name, std::string_view value) {
    if (name.empty()) return "Missing env name";
    if (!netbird_utils::is_valid_env_key(name)) return "Invalid env key";
    if (auto reason = protected_name_reason(name)) return reason;
    if (value.empty()) return std::nullopt;
    if (!text_utils::is_printable_utf8(value)) return std::string(text_utils::UNPRINTABLE_REFUSAL);
    if (const auto refusal = netbird_utils::override_value_refusal(name, value)) return std::string(*refusal);
    return std::nullopt;
}

std::string env_budget_error() {
    return "Too many env overrides: at most " + std::to_string(netbird_utils::MAX_ENV_OVERRIDES) + ", with " +
           std::to_string(netbird_utils::MAX_ENV_OVERRIDE_BYTES) + " bytes of names and values in all";
}

enum class override_change { none, set, removed };

// What setting the override (removing it, for an empty value) would change.
override_change override_change_of(const std::map<std::string, std::string>& overrides, const std::string& name,
                                   const std::string& value) {
    const auto entry = overrides.find(name);
    if (value.empty()) return entry != overrides.end() ? override_change::removed : override_change::none;
    return entry != overrides.end() && entry->second == value ? override_change::none : override_change::set;
}

// What applying one override request did to the overrides it was applied to.
struct override_outcome {
    override_change change = override_change::none;
    bool within_budget = true;
};

// Sets the override (removes it, for an empty value) unless that takes the overrides beyond the
// budget of a child's environment. Run on what will be saved, so the budget holds for the file.
override_outcome apply_override(std::map<std::string, std::string>& overrides, const std::string& name,
                                const std::string& value) {
    const override_change change = override_change_of(overrides, name, value);
    if (change == override_change::removed) overrides.erase(name);
    if (change != override_change::set) return {change, true};
    const auto old = overrides.find(name);
    std::optional<std::string> previous;
    if (old != overrides.end()) previous = old->second;
    overrides[name] = value;
    if (netbird_utils::is_within_env_budget(overrides)) return {change, true};
    if (previous)
        overrides[name] = *previous;
    else
        overrides.erase(name);
    return {override_change::none, false};
}

void log_override_change(override_change change, const std::string& name, const std::string& value) {
    if (change == override_change::removed)
        spdlog::info("NetBird env override removed: {}", name);
    else if (change == override_change::set)
        spdlog::info("NetBird env override set: {}={}", name, escape_controls(value));
}

json env_entry(const std::string& name, const std::string& value, bool system) {
    return {{"name", name}, {"system", system}, {"value", value}};
}

json presets_json() {
    json presets = json::array();
    for (const netbird_utils::env_preset& preset : netbird_utils::ENV_PRESETS)
        presets.push_back({{"default_value", preset.default_value},
                           {"description", preset.description},
                           {"name", preset.name}});
    return presets;
}

// Every name the operator may not override, with the reason, for the page to show.
json protected_names_json() {
    json names = json::array();
    const auto add = [&names](std::string_view name) {
        names.push_back({{"description", *protected_name_reason(name)}, {"name", name}});
    };
    for (const std::string_view name : netbird_utils::PROTECTED_KEYS) add(name);
    for (const netbird_utils::guarded_key& guarded : netbird_utils::GUARDED_KEYS) add(guarded.name);
    for (const std::string_view name : netbird_utils::FLAG_MAPPED_KEYS) add(name);
    for (const std::string_view name : netbird_utils::CONTRACT_KEYS) add(name);
    for (const std::string_view name : netbird_utils::SECRET_KEYS) add(name);
    return names;
}

// The names whose values are checked with NetBird's own rule, with what the rule asks for.
json checked_names_json() {
    json names = json::array();
    for (const netbird_utils::override_value_rule& rule : netbird_utils::OVERRIDE_VALUE_RULES)
        names.push_back({{"description", rule.refusal_message}, {"name", rule.name}});
    return names;
}

}  // namespace

// The file work runs on the settings writer; the outcome comes back on the loop.
void application::save_settings_file(const fs::path& path, std::optional<std::string> content,
                                     std::function<void(bool saved)> finished) {
    m_settings_writer.post([this, path, content = std::move(content), finished = std::move(finished)]() mutable {
        const bool saved = content ? replace_file_atomically(path, *content) : remove_file_durably(path);
        if (!saved) spdlog::error("Failed to write {}", path.string());
        defer([finished = std::move(finished), saved] { finished(saved); });
    });
}

void application::load_state() {
    remove_crash_leftovers(m_data_dir, {m_app_config_path, m_env_path, m_registration_path, m_journal_path});
    {
        std::lock_guard lock(m_env_mutex);
        m_env_overrides = string_members(load_json_file(m_env_path));
        if (drop_unusable_overrides(m_env_overrides)) write_json_file(m_env_path, m_env_overrides);
    }
    m_app_config = load_json_file(m_app_config_path);
    if (m_app_config.erase("setup_key") > 0) write_json_file(m_app_config_path, m_app_config);
    m_app_settings.mark_saved();
    m_env_settings.mark_saved();
}

// The text is rebuilt only when one of the values it shows has changed.
std::string application::build_config_json() const {
    return m_config_document.get(dump_json, settings_table::effective_settings(saved_settings()));
}

void application::api_config_get(const response_ptr& res, const request&) {
    write_json(res, build_config_json(), http_status::ok, false);
}

// The answer waits until the change is on disk; until then nothing runs with it.
void application::api_config_set(const response_ptr& res, const request&) {
    read_form(res, [this, res](form fields) {
        const std::string& name = fields["name"];
        const std::string& value = fields["value"];
        const settings_table::descriptor* setting = settings_table::find(name);
        if (const auto error = config_request_error(name, setting, value)) {
            write_json(res, error_json(*error), http_status::bad_request, false);
            return;
        }
        std::optional<json> stored;  // none: a reset
        if (!value.empty()) stored = settings_table::stored_form(*setting, value);
        const bool changed = setting_changes(m_app_config, name, stored);
        m_app_settings.update([name, stored](json& config) { store_setting(config, name, stored); },
                              [this, res, setting, value, changed](bool saved) {
                                  if (saved)
                                      apply_setting_change(res, *setting, value, changed);
                                  else
                                      write_json(res, error_json("Could not save settings"),
                                                 http_status::internal_server_error, false);
                              });
    });
}

// Side effects of a saved setting, then the answer: the settings document.
void application::apply_setting_change(const response_ptr& res, const settings_table::descriptor& setting,
                                       const std::string& value, bool changed) {
    if (changed) log_setting_change(setting.name, value);
    // The running tunnel keeps its old values until the operator reconnects.
    if (changed && m_lifecycle.wants_up() && registered() && setting.is_tunnel()) m_pending_reconnect = true;
    auto answer = [this, res] { write_json(res, build_config_json(), http_status::ok, false); };
    switch (setting.effect) {
        case settings_table::on_save::nothing: break;
        case settings_table::on_save::apply_log_level:
            apply_log_level(settings_table::text_value(saved_settings(), "log_level"));
            break;
        case settings_table::on_save::prune_daily_logs:
            run_log_maintenance(
                [this, days = settings_table::integer_value(saved_settings(), "log_retention_days")] {
                    prune_daily_logs(days);
                },
                std::move(answer));
            return;
    }
    answer();
}

void application::api_env_get(const response_ptr& res, const request&) {
    json entries = json::array();
    for (const auto& [name, value] : system_env())
        if (!netbird_utils::is_hidden_system_key(name)) entries.push_back(env_entry(name, value, true));
    const auto overrides = [this] {
        std::lock_guard lock(m_env_mutex);
        return m_env_overrides;
    }();
    for (const auto& [name, value] : overrides) entries.push_back(env_entry(name, value, false));
    const json document{{"checked", checked_names_json()},
                        {"entries", entries},
                        {"presets", presets_json()},
                        {"protected", protected_names_json()}};
    write_json(res, dump_json(document), http_status::ok, false);
}

void application::api_env_set(const response_ptr& res, const request&) {
    read_form(res, [this, res](form fields) {
        const std::string& name = fields["name"];
        const std::string& value = fields["value"];
        if (const auto error = env_request_error(name, value)) {
            write_json(res, error_json(*error), http_status::bad_request, false);
            return;
        }
        // A failed save runs the change again on what is then to be saved, which settles the outcome.
        auto outcome = std::make_shared<override_outcome>();
        m_env_settings.update(
            [name, value, outcome](std::map<std::string, std::string>& overrides) {
                *outcome = apply_override(overrides, name, value);
            },
            [this, res, name, value, outcome](bool saved) {
                if (!saved) {
                    write_json(res, error_json("Could not save overrides"), http_status::internal_server_error, false);
                    return;
                }
                if (!outcome->within_budget) {
                    write_json(res, error_json(env_budget_error()), http_status::bad_request, false);
                    return;
                }
                const override_change change = outcome->change;
                log_override_change(change, name, value);
                // The service only reads its environment when it starts.
                const bool restart_required = service_running();
                if (restart_required && change != override_change::none) m_pending_restart = true;
                const auto overrides = [this] {
                    std::lock_guard lock(m_env_mutex);
                    return m_env_overrides;
                }();
                const json answer{{"env", overrides}, {"ok", true}, {"restart_required", restart_required}};
                write_json(res, dump_json(answer), http_status::ok, false);
            });
    });
}

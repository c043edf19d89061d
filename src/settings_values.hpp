#pragma once
// How stored and submitted setting values are read. Shared with the logging code, which needs
// the level and retention before the settings store is loaded, and with the VPN API, which
// stores settings from its own form.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace settings_values {

// The "log_level" member when it names a known level, else "info".
std::string parse_log_level(const nlohmann::json& config);

// The "log_retention_days" member clamped into 1..365; 30 when absent or not an integer.
int parse_retention_days(const nlohmann::json& config);

// The JSON value to store for a setting's form text: a boolean for "watchdog_enabled", an
// integer for the integer settings (the text itself when it holds none), otherwise the text.
nlohmann::json coerce_config_value(std::string_view key, const std::string& value);

}  // namespace settings_values

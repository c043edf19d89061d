#pragma once
// The settings files as text on disk (settings.cpp).

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace settings_files {

// Indented, one member a line, invalid UTF-8 replaced: the form every settings file is saved in.
std::string settings_file_text(const nlohmann::json& value);

// Only a regular file of sane size and nesting counts; anything else reads as an empty object.
nlohmann::json read_json_file(const std::filesystem::path& path);

// Replaces the file atomically and durably; a failure is logged.
void write_json_file(const std::filesystem::path& path, const nlohmann::json& value);

}  // namespace settings_files

#pragma once
// The settings files as text on disk (settings_files.cpp).

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace settings_files {

// Where a save writes the new content before it takes the file's name.
inline std::filesystem::path temporary_path_for(const std::filesystem::path& path) {
    return std::filesystem::path(path) += ".tmp";
}

// Where a damaged file found at start-up is kept aside (the latest one).
inline std::filesystem::path damaged_path_for(const std::filesystem::path& path) {
    return std::filesystem::path(path) += ".bad";
}

// The file itself, its save's temporary file or its damaged copy.
inline bool is_file_or_companion(const std::filesystem::path& entry, const std::filesystem::path& path) {
    return entry == path || entry == temporary_path_for(path) || entry == damaged_path_for(path);
}

// Indented, one member a line, invalid UTF-8 replaced: the form every settings file is saved in.
std::string settings_file_text(const nlohmann::json& value);

// Only a regular file of sane size and nesting counts; anything else reads as an empty object.
nlohmann::json read_json_file(const std::filesystem::path& path);

// read_json_file for start-up: a regular file that does not hold a settings document is logged
// at warning level and kept aside, so the next save loses nothing that was readable in it.
nlohmann::json load_json_file(const std::filesystem::path& path);

// Replaces the file atomically and durably; a failure is logged.
void write_json_file(const std::filesystem::path& path, const nlohmann::json& value);

// The same for text: false when the old content is still in place.
bool replace_file_atomically(const std::filesystem::path& path, std::string_view content);

// Removes the file durably; a file already missing counts as removed.
bool remove_file_durably(const std::filesystem::path& path);

}  // namespace settings_files

// The settings files on disk: read with limits, saved atomically and durably.

#include "settings_files.hpp"

#include "file_utils.hpp"
#include "json_utils.hpp"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <spdlog/spdlog.h>
#include <string_view>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Larger than any settings document the daemon writes; a bigger file is not read at all.
constexpr std::size_t MAX_SETTINGS_FILE_BYTES = 1024 * 1024;

// Makes the rename itself survive a power cut; the new content is already in place without it.
void sync_directory(const fs::path& path) {
    const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const file_utils::unique_fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

// Only a regular file of sane size and nesting counts; anything else reads as no settings. The
// document is missing when a regular file holds no JSON object.
struct settings_file_content {
    bool regular = false;
    std::optional<json> document;
};

settings_file_content read_settings_file(const fs::path& path) {
    const file_utils::unique_fd fd = file_utils::open_regular_file(path.c_str());
    if (!fd) return {};
    std::string text;
    if (!file_utils::read_up_to(fd.get(), text, MAX_SETTINGS_FILE_BYTES + 1) || text.size() > MAX_SETTINGS_FILE_BYTES)
        return {true, std::nullopt};
    json value = json_utils::parse_bounded(text);
    if (!value.is_object()) return {true, std::nullopt};
    return {true, std::move(value)};
}

}  // namespace

namespace settings_files {

// A reader (or the next start after a power cut) sees the old or the new content, never a part:
// the new content is complete on disk before it takes the target's name. A save cut short leaves
// only the temporary file, which the next save of the same target replaces. Whatever stands at
// the temporary name (a link, a FIFO) is removed first, so the save neither follows nor blocks
// on it. One fixed temporary name per target is enough because saves of one file never overlap:
// they run one after another on the settings writer (and in load_state before it starts).
bool replace_file_atomically(const fs::path& path, std::string_view content) {
    const fs::path temporary = temporary_path_for(path);
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    const bool written = file_utils::write_all(fd, content) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    sync_directory(path);
    return true;
}

bool remove_file_durably(const fs::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    sync_directory(path);
    return true;
}

json read_json_file(const fs::path& path) { return read_settings_file(path).document.value_or(json::object()); }

json load_json_file(const fs::path& path) {
    settings_file_content content = read_settings_file(path);
    if (content.regular && !content.document) {
        const fs::path aside = damaged_path_for(path);
        if (::rename(path.c_str(), aside.c_str()) == 0) {
            sync_directory(path);
            spdlog::warn("Settings file {} is damaged: kept aside as {}, starting without it", path.string(),
                         aside.string());
        } else {
            spdlog::warn("Settings file {} is damaged and could not be kept aside: starting without it",
                         path.string());
        }
    }
    return content.document.value_or(json::object());
}

void write_json_file(const fs::path& path, const json& value) {
    if (!replace_file_atomically(path, settings_file_text(value))) spdlog::error("Failed to write {}", path.string());
}

std::string settings_file_text(const json& value) {
    return value.dump(2, ' ', false, json::error_handler_t::replace) + '\n';
}

}  // namespace settings_files

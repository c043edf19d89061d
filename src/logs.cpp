// Log sinks and file logging, daily log maintenance, the logs API and the storage report.

#include "application.hpp"

#include "api_helpers.hpp"
#include "file_utils.hpp"
#include "log_levels.hpp"
#include "log_utils.hpp"
#include "settings_files.hpp"
#include "settings_table.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;

using api_helpers::dump_json;
using api_helpers::write_json;
using http_status = http_server::status;

namespace {

using daily_sink = spdlog::sinks::daily_file_sink<std::mutex, spdlog::sinks::daily_filename_calculator>;

constexpr std::size_t GZIP_CHUNK_BYTES = 64 * 1024;

// Rotates at local midnight, appends to the file of the day, keeps at most `max_files` files.
std::shared_ptr<daily_sink> make_daily_sink(const fs::path& base_file, int max_files) {
    return std::make_shared<daily_sink>(base_file.string(), 0, 0, false, static_cast<std::uint16_t>(max_files));
}

void attach_app_file_sink(const fs::path& log_dir, int retention_days) {
    try {
        auto sink = make_daily_sink(log_dir / "app.log", retention_days);
        sink->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%L] %v");
        spdlog::default_logger_raw()->sinks().push_back(std::move(sink));
        spdlog::flush_on(spdlog::level::trace);
    } catch (const std::exception& e) {
        spdlog::warn("Unable to attach file log sink: {}", e.what());
    }
}

// The service's output goes to a file of its own, line for line, without decoration.
std::shared_ptr<spdlog::logger> make_netbird_file_logger(const fs::path& log_dir, int retention_days) {
    try {
        auto sink = make_daily_sink(log_dir / "netbird.log", retention_days);
        sink->set_pattern("%v");
        auto logger = std::make_shared<spdlog::logger>("netbird_file", std::move(sink));
        logger->set_level(spdlog::level::info);
        logger->flush_on(spdlog::level::info);
        return logger;
    } catch (const std::exception& e) {
        spdlog::warn("Unable to attach netbird file log sink: {}", e.what());
        return nullptr;
    }
}

// The local date `days_back` days before today as YYYY-MM-DD. Noon keeps a daylight-saving
// change from moving the normalised day.
std::optional<std::string> local_date(int days_back) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return std::nullopt;
    local.tm_hour = 12;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_mday -= days_back;
    local.tm_isdst = -1;
    if (std::mktime(&local) == static_cast<std::time_t>(-1)) return std::nullopt;
    char text[sizeof "YYYY-MM-DD"];
    if (std::strftime(text, sizeof text, "%Y-%m-%d", &local) != sizeof text - 1) return std::nullopt;
    return std::string(text);
}

// Whether `path` is a regular file itself; a symbolic link is not followed, whatever it points to.
bool is_plain_file(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Calls visit(path, file name) for each regular file directly in `dir`; symbolic links are
// skipped, so nothing placed in a log directory can make a log of a file elsewhere. Any error of
// the walk ends it quietly.
template <typename Visit>
void for_each_regular_file(const fs::path& dir, Visit visit) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code type_ec;
        if (it->symlink_status(type_ec).type() == fs::file_type::regular)
            visit(it->path(), it->path().filename().string());
    }
}

// A new file at `path` for writing, whatever stood there before (a link is replaced, not followed).
file_utils::unique_fd create_fresh_file(const fs::path& path) {
    ::unlink(path.c_str());
    return file_utils::unique_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
}

// Compresses `src` into `dst`, synced to the disk, so that a power cut cannot leave an empty
// archive in place of a log whose original is already gone. Gives up when `stop` is set.
bool gzip_file(const fs::path& src, const fs::path& dst, const std::atomic<bool>& stop) {
    const file_utils::unique_fd in = file_utils::open_regular_file(src.c_str());
    if (!in) return false;
    const file_utils::unique_fd out_fd = create_fresh_file(dst);
    if (!out_fd) return false;
    const int gz_fd = ::dup(out_fd.get());  // gzclose closes its own copy; out_fd stays for the sync
    const gzFile out = gz_fd < 0 ? nullptr : ::gzdopen(gz_fd, "wb");
    if (out == nullptr) {
        if (gz_fd >= 0) ::close(gz_fd);
        return false;
    }
    std::vector<char> chunk(GZIP_CHUNK_BYTES);
    bool complete = false;
    for (;;) {
        const ssize_t got = ::read(in.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || stop.load()) {
            complete = got == 0 && !stop.load();
            break;
        }
        const auto size = static_cast<unsigned>(got);
        if (::gzwrite(out, chunk.data(), size) != static_cast<int>(size)) break;
    }
    const bool closed = ::gzclose(out) == Z_OK;
    return complete && closed && ::fsync(out_fd.get()) == 0;
}

// app_D.log becomes app_D.log.gz through app_D.log.gz.tmp, so an interrupted run leaves either
// the original or a complete archive, and at worst a temporary file that the next run redoes. The
// archive appears under its name only once complete, so it is never listed or served half-written;
// a download of the original reads from its open descriptor and gets the whole file even when the
// original goes meanwhile.
void compress_daily_log(const fs::path& source, const std::atomic<bool>& stop) {
    const fs::path target = fs::path(source) += ".gz";
    const fs::path temporary = fs::path(target) += ".tmp";
    std::error_code ec;
    bool ok = gzip_file(source, temporary, stop);
    if (ok) {
        fs::rename(temporary, target, ec);
        ok = !ec;
    }
    fs::remove(ok ? source : temporary, ec);
}

// The logs list document from the files as they are now. Files with more than one link are added
// to the watch's checks: they can change through a name it does not see.
std::string list_log_files(const fs::path& data_dir, const fs::path& log_dir, directory_watch& watch) {
    struct log_entry {
        const char* source;
        std::string name;
        std::uintmax_t size;
        long long modified;  // seconds since the epoch; 0 when unknown
    };
    std::vector<log_entry> entries;
    const auto collect = [&entries, &watch](const fs::path& dir, bool (*accepts)(std::string_view), const char* source) {
        for_each_regular_file(dir, [&](const fs::path& path, const std::string& name) {
            if (!accepts(name)) return;
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0)
                info = {};
            else if (!S_ISREG(info.st_mode))
                return;  // replaced by something else meanwhile
            else if (info.st_nlink > 1)
                watch.check(path, info);
            entries.push_back({source, name, static_cast<std::uintmax_t>(info.st_size), info.st_mtime});
        });
    };
    collect(data_dir, log_utils::is_netbird_log_name, "netbird");
    collect(log_dir, log_utils::is_netbird_daily_name, "netbird");
    collect(log_dir, log_utils::is_app_log_name, "app");

    std::sort(entries.begin(), entries.end(), [](const log_entry& a, const log_entry& b) {
        const int by_source = std::string_view(a.source).compare(b.source);
        return by_source != 0 ? by_source < 0 : a.name > b.name;
    });
    nlohmann::json list = nlohmann::json::array();
    for (const log_entry& entry : entries)
        list.push_back(
            {{"modified", entry.modified}, {"name", entry.name}, {"size", entry.size}, {"source", entry.source}});
    return dump_json(list);
}

bool is_daily_log_name(std::string_view name) {
    return log_utils::is_app_log_name(name) || log_utils::is_netbird_daily_name(name);
}

// In the data directory: NetBird's own logs, and the log directory, which may be replaced whole.
bool is_netbird_log_or_log_dir_name(std::string_view name) {
    return name == log_utils::LOG_DIR_NAME || log_utils::is_netbird_log_name(name);
}

// Errors of the log endpoints are plain text, like their answers.
void write_text(const http_server::response_ptr& res, http_status code, std::string_view body) {
    res->write_status(code).write_header("Content-Type", "text/plain").write_header("Cache-Control", "no-store");
    res->end(body);
}

}  // namespace

void application::setup_file_logging() {
    std::error_code ec;
    fs::create_directories(m_log_dir, ec);
    if (ec) {
        spdlog::warn("Unable to create log directory {}: {}", m_log_dir.string(), ec.message());
        return;
    }
    const nlohmann::json settings = settings_files::read_json_file(m_app_config_path);
    const int retention_days = settings_table::integer_value(settings, "log_retention_days");
    attach_app_file_sink(m_log_dir, retention_days);
    apply_log_level(settings_table::text_value(settings, "log_level"));
    m_netbird_file_logger = make_netbird_file_logger(m_log_dir, retention_days);
    prune_daily_logs(retention_days);
    compress_daily_logs();
}

void application::run_log_maintenance(std::function<void()> work, std::function<void()> then) {
    m_log_maintenance.post([this, work = std::move(work), then = std::move(then)]() mutable {
        work();
        if (then) defer(std::move(then));
    });
}

void application::apply_log_level(const std::string& level) const {
    spdlog::default_logger_raw()->set_level(log_levels::from_name(level));
}

// Only finished days: today's files are still being written.
void application::compress_daily_logs() const {
    const auto today = local_date(0);
    if (!today) return;
    std::vector<fs::path> finished;
    for_each_regular_file(m_log_dir, [&](const fs::path& path, const std::string& name) {
        if (is_daily_log_name(name) && name.ends_with(".log") && *log_utils::daily_log_date(name) < *today)
            finished.push_back(path);
    });
    for (const fs::path& path : finished) {
        if (stopping()) return;
        compress_daily_log(path, m_stopping);
    }
}

// Keeps the files of the last `days` dates, today included, whatever their prefix.
void application::prune_daily_logs(int days) const {
    const auto cutoff = local_date(std::max(days, 1) - 1);
    if (!cutoff) return;
    for_each_regular_file(m_log_dir, [&](const fs::path& path, const std::string& name) {
        const auto date = log_utils::daily_log_date(name);
        std::error_code ec;
        if (date && *date < *cutoff) fs::remove(path, ec);
    });
}

// Application files first, then NetBird's; newest first within each, which the descending
// name order gives for dated names (and puts "client.log" before the rotated "client-*" files).
// The document is kept until a listed file may have changed: a stat per file per request would
// cost more than everything else the answer takes.
std::string application::build_logs_list_json() const {
    if (!m_log_files_watch.changed()) return m_logs_list_document;
    // Watching starts before the listing, so a change during the listing is seen next time.
    const bool watched = m_log_files_watch.restart(
        {{m_data_dir, is_netbird_log_or_log_dir_name}, {m_log_dir, is_daily_log_name}});
    m_logs_list_document = list_log_files(m_data_dir, m_log_dir, m_log_files_watch);
    if (!watched) m_log_files_watch.restart({});  // an unwatched listing is never reused
    return m_logs_list_document;
}

// Only a bare name of the source's own families, and only an existing regular file in that
// family's directory: nothing a client sends can reach any other file.
std::optional<fs::path> application::resolve_log_file(std::string_view source, std::string_view name) const {
    if (!log_utils::is_safe_log_name(name)) return std::nullopt;
    const fs::path* dir = nullptr;
    if (source == "netbird") {
        if (log_utils::is_netbird_daily_name(name))
            dir = &m_log_dir;
        else if (log_utils::is_netbird_log_name(name))
            dir = &m_data_dir;
    } else if (source == "app" && log_utils::is_app_log_name(name)) {
        dir = &m_log_dir;
    }
    if (dir == nullptr) return std::nullopt;
    fs::path path = *dir / name;
    if (path.parent_path() != *dir) return std::nullopt;
    if (!is_plain_file(path)) return std::nullopt;
    return path;
}

std::string application::build_storage_json() const {
    std::error_code ec;
    const fs::space_info space = fs::space(m_data_dir, ec);
    const std::uint64_t total = ec ? 0 : space.capacity;
    const std::uint64_t available = ec ? 0 : space.available;
    return dump_json({{"free", available}, {"total", total}, {"used_pct", log_utils::used_percent(total, available)}});
}

// Only the end of NetBird's log is read, however large it has grown, and only from a regular
// file: a FIFO or device there would block the loop or never end.
void application::api_logs_tail(const response_ptr& res, const request& req) {
    constexpr std::size_t MAX_BYTES = 200000;
    // Lines appended while the tail is read are included, up to this much more.
    constexpr std::size_t MAX_GROWTH_BYTES = 64 * 1024;
    if (req.query_value("source") != "netbird") return write_text(res, http_status::not_found, "Unknown log source.");
    struct stat status {};
    if (::lstat(m_log_path.c_str(), &status) != 0) return write_text(res, http_status::not_found, "Netbird log not found.");
    const file_utils::unique_fd fd = file_utils::open_regular_file(m_log_path.c_str());
    if (!fd || ::fstat(fd.get(), &status) != 0)
        return write_text(res, http_status::internal_server_error, "Unable to open netbird log.");

    std::string body;
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size > MAX_BYTES) {
        ::lseek(fd.get(), static_cast<off_t>(size - MAX_BYTES), SEEK_SET);
        body = "Log truncated to last " + std::to_string(MAX_BYTES) + " bytes.\n";
    }
    file_utils::read_up_to(fd.get(), body, std::min(size, MAX_BYTES) + MAX_GROWTH_BYTES);
    write_text(res, http_status::ok, body);
}

void application::api_logs_list(const response_ptr& res, const request& /*req*/) {
    write_json(res, build_logs_list_json(), http_status::ok, true);
}

void application::api_logs_download(const response_ptr& res, const request& req) {
    const std::string name = req.query_value("name");
    const auto path = resolve_log_file(req.query_value("source"), name);
    if (!path) return write_text(res, http_status::not_found, "Log file not found.");
    // Sent from this one descriptor: a compression or rename of the path meanwhile cannot mix two
    // files. Neither a link nor something that would block on open (a FIFO) is opened.
    const int fd = file_utils::open_regular_file(path->c_str()).release();
    if (fd < 0) return write_text(res, http_status::internal_server_error, "Unable to open log file.");
    res->write_status(http_status::ok)
        .write_header("Content-Type", name.ends_with(".gz") ? "application/gzip" : "text/plain")
        .write_header("Content-Disposition", "attachment; filename=\"" + name + "\"")
        .write_header("Cache-Control", "no-store");
    if (!res->end_with_file(fd)) write_text(res, http_status::internal_server_error, "Unable to open log file.");
}

void application::api_storage(const response_ptr& res, const request& /*req*/) {
    write_json(res, build_storage_json(), http_status::ok, true);
}

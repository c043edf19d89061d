#pragma once
// Which file names are daily log files, which belong to NetBird, and which a client may ask for;
// plus the storage report's percentage. Pure functions of their arguments.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace log_utils {

// The daily logs' directory inside the data directory.
inline constexpr std::string_view LOG_DIR_NAME = "logs";

// The YYYY-MM-DD part of "<anything>_YYYY-MM-DD.log" or "<anything>_YYYY-MM-DD.log.gz".
// No calendar check: the date only has to sort like one.
inline std::optional<std::string> daily_log_date(std::string_view name) {
    constexpr std::string_view COMPRESSED = ".gz";
    constexpr std::string_view EXTENSION = ".log";
    constexpr std::size_t DATE_LENGTH = 10;
    constexpr std::size_t SUFFIX_LENGTH = 1 + DATE_LENGTH + 4;  // "_" + date + ".log"

    if (name.size() > COMPRESSED.size() && name.ends_with(COMPRESSED)) name.remove_suffix(COMPRESSED.size());
    if (name.size() < SUFFIX_LENGTH || !name.ends_with(EXTENSION)) return std::nullopt;
    if (name[name.size() - SUFFIX_LENGTH] != '_') return std::nullopt;
    const std::string_view date = name.substr(name.size() - EXTENSION.size() - DATE_LENGTH, DATE_LENGTH);
    for (std::size_t i = 0; i < DATE_LENGTH; ++i) {
        const bool separator_place = i == 4 || i == 7;
        const bool ok = separator_place ? date[i] == '-' : date[i] >= '0' && date[i] <= '9';
        if (!ok) return std::nullopt;
    }
    return std::string(date);
}

inline bool is_app_log_name(std::string_view name) {
    return name.starts_with("app_") && daily_log_date(name).has_value();
}

inline bool is_netbird_daily_name(std::string_view name) {
    return name.starts_with("netbird_") && daily_log_date(name).has_value();
}

// NetBird's own log and the rotated copies it leaves beside it.
inline bool is_netbird_log_name(std::string_view name) {
    return name == "client.log" || (name.starts_with("client-") && name.ends_with(".log.gz"));
}

// A bare file name that cannot leave its directory, break the download header or name a
// control sequence.
inline bool is_safe_log_name(std::string_view name) {
    constexpr std::size_t MAX_NAME_BYTES = 255;
    if (name.empty() || name.size() > MAX_NAME_BYTES) return false;
    if (name.find("..") != std::string_view::npos) return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '/' || c == '\\') return false;
    }
    return true;
}

// Share of the file system not available, in whole percent, halves rounded up. Some virtual file
// systems report more available than total; that counts as nothing used.
inline int used_percent(std::uint64_t total, std::uint64_t available) {
    if (total == 0) return 0;
    const std::uint64_t used = total > available ? (total - available) * 100 : 0;
    return static_cast<int>((used + total / 2) / total);
}

}  // namespace log_utils

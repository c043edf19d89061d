#pragma once
// The application log's level names, as settings and the page spell them.

#include <algorithm>
#include <array>
#include <spdlog/common.h>
#include <string_view>

namespace log_levels {

inline constexpr std::array<std::string_view, 7> NAMES{"trace", "debug", "info", "warning", "error", "critical", "off"};

inline bool is_known(std::string_view name) { return std::find(NAMES.begin(), NAMES.end(), name) != NAMES.end(); }

// Anything unknown, "info" included, runs at info.
inline spdlog::level::level_enum from_name(std::string_view name) {
    namespace level = spdlog::level;
    if (name == "trace") return level::trace;
    if (name == "debug") return level::debug;
    if (name == "warning") return level::warn;
    if (name == "error") return level::err;
    if (name == "critical") return level::critical;
    if (name == "off") return level::off;
    return level::info;
}

}  // namespace log_levels

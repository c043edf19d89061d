#pragma once
// Timing helpers that take the time as an argument, so tests can drive them with made-up times.

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

namespace time_utils {

// Due at most once per period of elapsed time, however often it is asked: the watchdog asks on
// each wake-up, and every command wakes it early.
class periodic {
public:
    using clock = std::chrono::steady_clock;

    periodic(clock::duration period, clock::time_point start) : m_period(period), m_last(start) {}

    // True once at least a period has passed since the start or the last time it was due, which
    // `now` then becomes: after a long gap it is due once, not once per period missed.
    bool due(clock::time_point now) {
        if (now - m_last < m_period) return false;
        m_last = now;
        return true;
    }

private:
    clock::duration m_period;
    clock::time_point m_last;
};

// "2026-12-09T10:00:00Z": when something happened, for the page.
inline std::string iso8601_utc(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm utc{};
    char text[sizeof "2026-12-09T10:00:00Z"];
    if (::gmtime_r(&seconds, &utc) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return {};
    return text;
}

// One second, or as many milliseconds as the environment variable names: tests shorten the
// daemon's periods and limits with it.
inline std::chrono::steady_clock::duration second_from_environment(const char* variable) {
    const char* value = std::getenv(variable);
    const long long ms = value != nullptr ? std::atoll(value) : 0;
    if (ms > 0) return std::chrono::milliseconds(ms);
    return std::chrono::seconds(1);
}

}  // namespace time_utils

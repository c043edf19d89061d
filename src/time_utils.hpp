#pragma once
// Timing helpers that take the time as an argument, so tests can drive them with made-up times.

#include <chrono>
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

}  // namespace time_utils

#pragma once
// Timing helpers that take the time as an argument, so tests can drive them with made-up times.

#include <chrono>

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

}  // namespace time_utils

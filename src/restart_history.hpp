#pragma once
// The service's recent restarts by cause, for "2 restarts by the watchdog in the last hour". Only
// the window is kept, and at most LIMIT entries of it: the oldest go first.

#include "vpn_lifecycle.hpp"

#include <array>
#include <cstddef>
#include <deque>

class restart_history {
public:
    using clock = vpn_lifecycle::clock;
    static constexpr std::size_t LIMIT = 1000;
    static constexpr long long WINDOW_SECONDS = 60 * 60;
    // One count per cause, in the enum's order (that of vpn_lifecycle::restart_causes).
    using counts = std::array<int, std::size(vpn_lifecycle::restart_causes)>;

    // The window in the lifecycle's seconds (tests shorten them).
    explicit restart_history(clock::duration second) : m_window(WINDOW_SECONDS * second) {}
    void note(vpn_lifecycle::restart_cause cause, clock::time_point at);
    counts in_window(clock::time_point now) const;

private:
    struct restart {
        vpn_lifecycle::restart_cause cause;
        clock::time_point at;
    };
    std::deque<restart> m_restarts;
    clock::duration m_window;
};

#include "restart_history.hpp"

void restart_history::note(vpn_lifecycle::restart_cause cause, clock::time_point at) {
    while (!m_restarts.empty() && (m_restarts.size() >= LIMIT || at - m_restarts.front().at >= m_window))
        m_restarts.pop_front();
    m_restarts.push_back({cause, at});
}

restart_history::counts restart_history::in_window(clock::time_point now) const {
    counts result{};
    for (const auto& entry : m_restarts) {
        if (now - entry.at >= m_window) continue;
        ++result[static_cast<std::size_t>(entry.cause)];
    }
    return result;
}

#pragma once
// What happened to the VPN, kept across restarts of the daemon: the states the status polls show,
// the service's starts, exits and restarts, and the operator's commands with their result. Bounded
// by count and age; saved in the background, one write for all events that come while one is under
// way, and nothing written while nothing happens (journal.cpp).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "command_result.hpp"
#include "saved_document.hpp"

struct journal_event {
    std::int64_t time = 0;  // Unix seconds
    std::string kind;
    std::string detail;
};

class connection_journal {
public:
    using time_point = std::chrono::system_clock::time_point;
    using events = std::deque<journal_event>;
    using saver = saved_document<events>::saver;

    static constexpr std::size_t MAX_EVENTS = 500;
    static constexpr auto MAX_AGE = std::chrono::days(30);
    static constexpr std::size_t MAX_DETAIL_BYTES = 200;

    explicit connection_journal(saver save);

    // The events of a saved file (its parsed text); entries that are not events are left out.
    void load(const nlohmann::json& stored, time_point now);

    // The one way in: an event of `kind` (such as "connected" or "command") with its detail in words.
    void record(std::string kind, std::string detail, time_point when);

    // Records the state a status poll shows when it differs from the last one seen. A poll that
    // failed shows none.
    void observe_status(const command_result& snapshot, time_point when);

    // {"events": newest first, "connected_since", "availability": {"day", "week"}}.
    std::string document(time_point now) const;

    static std::string file_text(const events& all);

private:
    events m_events;  // oldest first
    saved_document<events> m_saved;
    // The connection state of the last poll since the service last started, stopped or ended.
    std::optional<std::string> m_observed;
};

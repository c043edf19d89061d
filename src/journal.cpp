#include "journal.hpp"

#include "api_helpers.hpp"
#include "json_utils.hpp"
#include "settings_files.hpp"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

using nlohmann::json;

namespace {

using seconds = std::int64_t;

constexpr seconds DAY = 24 * 60 * 60;
constexpr seconds WEEK = 7 * DAY;

seconds unix_seconds(connection_journal::time_point when) {
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

// Kinds after which the VPN carries traffic; "command" changes nothing, every other kind means down.
bool is_up_kind(std::string_view kind) { return kind == "connected" || kind == "management_restored"; }
bool is_neutral_kind(std::string_view kind) { return kind == "command"; }

// An end of a connection that nobody asked for; an operator's Disconnect leaves the client Idle
// ("disconnected") and a restart shows as the service's stop.
bool is_drop_kind(std::string_view kind) {
    constexpr std::array<std::string_view, 4> drops{"management_lost", "connecting", "service_exited", "logged_out"};
    return std::find(drops.begin(), drops.end(), kind) != drops.end();
}

std::string member_text(const json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool management_connected(const json& status) {
    const auto management = status.find("management");
    if (management == status.end() || !management->is_object()) return false;
    const auto connected = management->find("connected");
    return connected != management->end() && connected->is_boolean() && connected->get<bool>();
}

struct observed_state {
    std::string state;  // the state the next poll is compared with
    std::string kind;   // the event it makes, which may also say where it came from
    std::string detail;
};

// The client reports a lost management connection as Connecting (or Connected) with the management
// link down; after a connection, or with the link's error given, that is the loss, not a first try.
std::optional<observed_state> read_state(const json& status, const std::optional<std::string>& previous) {
    const std::string daemon_status = member_text(status, "daemonStatus");
    if (daemon_status.empty()) return std::nullopt;
    const json management = status.value("management", json::object());
    const std::string management_error = management.is_object() ? member_text(management, "error") : "";
    const bool was_connected = previous == "connected" || previous == "management_lost";
    if (daemon_status == "Connected" || daemon_status == "Connecting") {
        if (management_connected(status)) {
            if (daemon_status == "Connecting") return observed_state{"connecting", "connecting", ""};
            const std::string kind = previous == "management_lost" ? "management_restored" : "connected";
            return observed_state{"connected", kind, member_text(status, "netbirdIp")};
        }
        if (was_connected || !management_error.empty())
            return observed_state{"management_lost", "management_lost", management_error};
        return observed_state{"connecting", "connecting", ""};
    }
    if (daemon_status == "Idle") return observed_state{"disconnected", "disconnected", ""};
    return observed_state{"logged_out", "logged_out", daemon_status};
}

json event_json(const journal_event& event) {
    return json{{"time", event.time}, {"kind", event.kind}, {"detail", event.detail}};
}

// Seconds of [since, until) that fall inside [from, to).
seconds overlap(seconds since, seconds until, seconds from, seconds to) {
    return std::max<seconds>(0, std::min(until, to) - std::max(since, from));
}

// The periods in which the VPN was up, oldest first; the last one may still run.
struct up_period {
    seconds since;
    std::optional<seconds> until;
};
std::vector<up_period> up_periods(const connection_journal::events& all) {
    std::vector<up_period> periods;
    for (const journal_event& event : all) {
        if (is_neutral_kind(event.kind)) continue;
        const bool open = !periods.empty() && !periods.back().until;
        if (is_up_kind(event.kind) && !open) periods.push_back({event.time, std::nullopt});
        if (!is_up_kind(event.kind) && open) periods.back().until = event.time;
    }
    return periods;
}

// The share of the window that the VPN was up, over the part of it the journal covers.
json availability(const connection_journal::events& all, const std::vector<up_period>& periods, seconds now,
                  seconds window) {
    if (all.empty()) return nullptr;
    const seconds from = std::max(now - window, all.front().time);
    if (now <= from) return nullptr;
    seconds up = 0;
    for (const up_period& period : periods) up += overlap(period.since, period.until.value_or(now), from, now);
    return static_cast<double>(up) / static_cast<double>(now - from);
}

}  // namespace

connection_journal::connection_journal(saver save)
    : m_saved(m_events, nullptr, file_text, std::move(save)) {}

void connection_journal::load(const json& stored, time_point now) {
    m_events.clear();
    const auto list = stored.find("events");
    if (list != stored.end() && list->is_array()) {
        for (const json& entry : *list) {
            const auto time = entry.find("time");
            if (!entry.is_object() || time == entry.end() || !time->is_number_integer()) continue;
            const std::string kind = member_text(entry, "kind");
            if (kind.empty()) continue;
            m_events.push_back({time->get<seconds>(), kind, member_text(entry, "detail")});
        }
    }
    const seconds oldest = unix_seconds(now - MAX_AGE);
    while (!m_events.empty() && (m_events.size() > MAX_EVENTS || m_events.front().time < oldest))
        m_events.pop_front();
    m_saved.mark_saved();
}

void connection_journal::record(std::string kind, std::string detail, time_point when) {
    if (!is_neutral_kind(kind)) m_observed.reset();
    if (detail.size() > MAX_DETAIL_BYTES) detail.resize(MAX_DETAIL_BYTES);
    journal_event event{unix_seconds(when), std::move(kind), std::move(detail)};
    const seconds oldest = unix_seconds(when - MAX_AGE);
    m_saved.update(
        [event = std::move(event), oldest](events& all) {
            all.push_back(event);
            while (all.size() > MAX_EVENTS || all.front().time < oldest) all.pop_front();
        },
        {});
}

void connection_journal::observe_status(const command_result& snapshot, time_point when) {
    if (snapshot.exit_code != 0) return;
    const json status = json_utils::parse_bounded(snapshot.stdout_data);
    if (!status.is_object()) return;
    std::optional<observed_state> seen = read_state(status, m_observed);
    if (!seen || seen->state == m_observed) return;
    record(std::move(seen->kind), std::move(seen->detail), when);
    m_observed = std::move(seen->state);
}

std::string connection_journal::document(time_point now) const {
    const seconds at = unix_seconds(now);
    const std::vector<up_period> periods = up_periods(m_events);
    json listed = json::array();
    bool up = false;
    for (const journal_event& event : m_events) {
        json entry = event_json(event);
        if (up && is_drop_kind(event.kind)) entry["drop"] = true;
        if (!is_neutral_kind(event.kind)) up = is_up_kind(event.kind);
        listed.push_back(std::move(entry));
    }
    std::reverse(listed.begin(), listed.end());
    const bool connected = !periods.empty() && !periods.back().until;
    return api_helpers::dump_json(
        json{{"events", std::move(listed)},
             {"connected_since", connected ? json(periods.back().since) : json(nullptr)},
             {"availability",
              {{"day", availability(m_events, periods, at, DAY)}, {"week", availability(m_events, periods, at, WEEK)}}}});
}

std::string connection_journal::file_text(const events& all) {
    json list = json::array();
    for (const journal_event& event : all) list.push_back(event_json(event));
    return settings_files::settings_file_text(json{{"events", std::move(list)}});
}

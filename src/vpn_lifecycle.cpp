// The lifecycle table. Each row is an event; the columns are the states it is handled in.
//
// | event                        | starting           | running               | troubled                  | waiting        | stopped |
// |------------------------------|--------------------|-----------------------|---------------------------|----------------|---------|
// | service started              | -> starting; `down` first when the wish is down (from any state but stopped)                   | ignored |
// | service exited               | -> waiting, start failure (crash back-off) | -> waiting, crash (crash back-off)    | -              | ignored |
// | service failed to start      | -> waiting, start failure (crash back-off, from any state but stopped)                         | ignored |
// | status: healthy              | stays              | stays                 | -> running ("restored")   | -              | ignored |
// | status: lost mgmt, peers up  | stays              | stays, logged once    | -> running                | -              | ignored |
// | status: lost mgmt, no peers  | -> troubled when the watchdog is armed (enabled, wish up, not known unregistered)     | -       | ignored |
// | status: not answered         | -> troubled when the watchdog is enabled (hung service)                               | -       | ignored |
// | watchdog tick                | -> running after the start window | health for 10 min resets the back-off | restart when the trouble outlasted its wait | start when the wait is over | ignored |
// | operator restart             | restart, from any state                                                                       | ignored |
// | operator up / down           | the wish only; a down is sent by the caller                                                   |         |
// | deregistration / logged in   | the registration only                                                                          |         |
// | stopping                     | -> stopped                                                                                     |         |
//
// A status answer also updates the registration: Connected or a connected management says
// registered; NeedsLogin says not registered, and so does LoginFailed unless the camera was
// registered before; every other answer keeps the last value.
//
// Back-off: a restart for the same trouble waits twice as long as the one before, from the
// watchdog timeout for lost management and a hung service (up to an hour), from 5 s for crashes
// and failed starts (up to 5 minutes). Ten minutes of health start every wait afresh.

#include "vpn_lifecycle.hpp"

#include <algorithm>
#include <spdlog/spdlog.h>

namespace vpn_lifecycle {
namespace {

constexpr long long START_WINDOW_SECONDS = 5;
constexpr long long CRASH_FIRST_WAIT_SECONDS = 5;
constexpr long long CRASH_MAX_WAIT_SECONDS = 5 * 60;
constexpr long long MANAGEMENT_MAX_WAIT_SECONDS = 60 * 60;
constexpr long long HEALTHY_RESET_SECONDS = 10 * 60;

// first * 2^count, up to max.
long long doubled(long long first, int count, long long max) {
    long long wait = first;
    for (int i = 0; i < count && wait < max; ++i) wait *= 2;
    return std::min(wait, max);
}

bool is_healthy(const status_report& report) { return report.management_connected.value_or(true); }

}  // namespace

const char* name(state value) {
    switch (value) {
        case state::starting: return "starting";
        case state::running: return "running";
        case state::troubled: return "troubled";
        case state::waiting: return "waiting";
        case state::stopped: return "stopped";
    }
    return "unknown";
}

const char* name(restart_cause value) {
    switch (value) {
        case restart_cause::operator_request: return "operator";
        case restart_cause::lost_management: return "lost_management";
        case restart_cause::hung_service: return "hung_service";
        case restart_cause::crash: return "crash";
        case restart_cause::start_failure: return "start_failure";
    }
    return "unknown";
}

void machine::enter(state next, std::string reason) {
    m_state = next;
    m_reason = std::move(reason);
}

void machine::remember(registration value) {
    if (value == m_registration) return;
    m_registration = value;
    m_registration_changed = true;
}

action machine::service_started(clock::time_point now) {
    if (m_shutting_down) return action::none;
    m_started_at = now;
    m_trouble = trouble::none;
    m_healthy_since.reset();
    enter(state::starting, "The VPN service was started.");
    return m_wish_up ? action::none : action::send_down;
}

action machine::service_exited(clock::time_point now) {
    if (m_state == state::stopped || m_state == state::waiting) return action::none;
    const bool at_once = now - m_started_at < seconds(START_WINDOW_SECONDS);
    return back_off_start(at_once ? restart_cause::start_failure : restart_cause::crash, now);
}

action machine::service_failed_to_start(clock::time_point now) {
    if (m_shutting_down) return action::none;
    return back_off_start(restart_cause::start_failure, now);
}

// Crashes and failed starts share one back-off: a service that dies at start is a crash loop.
action machine::back_off_start(restart_cause cause, clock::time_point now) {
    const clock::duration wait = crash_wait();
    ++m_crash_restarts;
    m_last_cause = cause;
    m_next_start = now + wait;
    m_healthy_since.reset();
    const auto wait_seconds = wait / m_timing.second;
    enter(state::waiting, cause == restart_cause::crash
                              ? "The VPN service exited; it is started again in " + std::to_string(wait_seconds) + " s."
                              : "The VPN service could not start; it is tried again in " +
                                    std::to_string(wait_seconds) + " s.");
    spdlog::warn("{}", m_reason);
    return action::none;
}

action machine::status_answered(const status_report& report, clock::time_point now) {
    read_registration(report.daemon_status, report.management_connected);
    if (m_state == state::stopped || m_state == state::waiting) return action::none;
    const bool tunnel_kept = report.daemon_status == "Connected" && report.peers_connected > 0;
    if (is_healthy(report) || tunnel_kept) {
        if (!is_healthy(report) && !m_kept_tunnel_logged) {
            spdlog::info("VPN management connection lost, but {} peer(s) stay connected: no restart",
                         report.peers_connected);
            m_kept_tunnel_logged = true;
        }
        if (is_healthy(report)) m_kept_tunnel_logged = false;
        note_health(now);
        return action::none;
    }
    if (!watchdog_armed() || m_registration == registration::not_registered) {
        note_health(now);
        return action::none;
    }
    return note_trouble(trouble::lost_management, now);
}

action machine::status_unanswered(clock::time_point now) {
    if (m_state == state::stopped || m_state == state::waiting || !m_timing.watchdog_enabled) return action::none;
    return note_trouble(trouble::hung_service, now);
}

void machine::note_health(clock::time_point now) {
    if (m_state == state::troubled) {
        spdlog::info("VPN connectivity restored");
        enter(state::running, "The VPN service answers.");
    }
    m_trouble = trouble::none;
    if (!m_healthy_since) m_healthy_since = now;
}

action machine::note_trouble(trouble kind, clock::time_point now) {
    m_healthy_since.reset();
    if (m_trouble != kind) {
        m_trouble = kind;
        m_trouble_since = now;
        const bool lost = kind == trouble::lost_management;
        spdlog::warn(lost ? "VPN connectivity lost (management disconnected, no peer connected); will restart service "
                            "if it persists"
                          : "VPN service does not answer; will restart it if this persists");
        enter(state::troubled, lost ? "The management connection is lost and no peer is connected."
                                    : "The VPN service does not answer.");
    }
    return action::none;
}

void machine::read_registration(const std::string& daemon_status, std::optional<bool> management_connected) {
    if (daemon_status == "Connected" || management_connected.value_or(false)) {
        remember(registration::registered);
    } else if (daemon_status == "NeedsLogin" ||
               (daemon_status == "LoginFailed" && m_registration != registration::registered)) {
        if (m_registration != registration::not_registered)
            spdlog::info("VPN client reports {}: not registered, so the watchdog will not restart the service for "
                         "the lost management connection",
                         daemon_status);
        remember(registration::not_registered);
    }
}

action machine::watchdog_tick(clock::time_point now) {
    switch (m_state) {
        case state::starting:
            if (now - m_started_at >= seconds(START_WINDOW_SECONDS)) enter(state::running, "The VPN service runs.");
            return action::none;
        case state::running:
            if (m_healthy_since && now - *m_healthy_since >= seconds(HEALTHY_RESET_SECONDS)) {
                m_management_restarts = 0;
                m_crash_restarts = 0;
            }
            return action::none;
        case state::troubled: {
            const clock::duration wait = management_wait();
            if (now - m_trouble_since < wait) return action::none;
            const auto down_for = std::chrono::duration_cast<std::chrono::seconds>(now - m_trouble_since);
            spdlog::warn("VPN {} for {}s, restarting service",
                         m_trouble == trouble::lost_management ? "connectivity down" : "service unanswered",
                         down_for.count());
            m_last_cause = m_trouble == trouble::lost_management ? restart_cause::lost_management
                                                                 : restart_cause::hung_service;
            ++m_management_restarts;
            m_trouble = trouble::none;
            return action::restart_service;
        }
        case state::waiting:
            return now >= m_next_start ? action::start_service : action::none;
        case state::stopped:
            return action::none;
    }
    return action::none;
}

action machine::operator_restart() {
    if (m_shutting_down) return action::none;
    m_last_cause = restart_cause::operator_request;
    return action::restart_service;
}

void machine::operator_up() { m_wish_up = true; }
void machine::operator_down() { m_wish_up = false; }
void machine::logged_in() { remember(registration::registered); }
void machine::deregistration_started() { ++m_deregistrations; }

void machine::deregistration_ended(bool reset) {
    --m_deregistrations;
    if (reset) remember(registration::not_registered);
}

void machine::stopping() {
    m_shutting_down = true;
    enter(state::stopped, "The daemon is stopping.");
}

bool machine::watchdog_armed() const { return m_timing.watchdog_enabled && m_wish_up; }

clock::duration machine::management_wait() const {
    return seconds(doubled(m_timing.watchdog_timeout, m_management_restarts,
                           std::max(m_timing.watchdog_timeout, MANAGEMENT_MAX_WAIT_SECONDS)));
}

clock::duration machine::crash_wait() const {
    return seconds(doubled(CRASH_FIRST_WAIT_SECONDS, m_crash_restarts, CRASH_MAX_WAIT_SECONDS));
}

std::optional<clock::duration> machine::next_start_in(clock::time_point now) const {
    if (m_state != state::waiting) return std::nullopt;
    return std::max(clock::duration::zero(), m_next_start - now);
}

}  // namespace vpn_lifecycle

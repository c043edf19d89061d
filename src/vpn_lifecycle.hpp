#pragma once
// The VPN's fate in one place: the lifecycle state, the operator's wish, the remembered
// registration and the restart back-off, changed only by the events below. Each event's handler
// is one row group of the state x event table (vpn_lifecycle.cpp); what it returns is what the
// application must do. No processes or files here, and the caller passes the time: it carries out
// the action, so the table can be read and tested on its own. Decisions are logged here.

#include <chrono>
#include <optional>
#include <string>

namespace vpn_lifecycle {

using clock = std::chrono::steady_clock;

enum class state {
    starting,  // the service was just started: an exit now is a failure to start
    running,   // the service runs and nothing is wrong with it
    troubled,  // the service runs, but lost management (no peer connected) or stopped answering
    waiting,   // no service: the next start waits for the back-off to pass
    stopped,   // no service and none to start (shutting down, or a reset is under way)
};

// Why the service was started again; the operator's restart counts too.
enum class restart_cause { operator_request, lost_management, hung_service, crash, start_failure };
// Every cause, in the enum's order.
inline constexpr restart_cause restart_causes[] = {restart_cause::operator_request, restart_cause::lost_management,
                                                   restart_cause::hung_service, restart_cause::crash,
                                                   restart_cause::start_failure};

enum class registration { unknown, registered, not_registered };

// What the application does after an event.
enum class action {
    none,
    start_service,
    restart_service,
    // The service has just started while the operator wants the VPN down: `down` before anything else.
    send_down,
};

const char* name(state value);
const char* name(restart_cause value);

// What one status poll said. A poll that gave no document gives no status.
struct status_report {
    std::string daemon_status;  // "" when the output has none
    std::optional<bool> management_connected;
    int peers_connected = 0;
};

// Lengths in the lifecycle's own seconds; tests make a second shorter.
struct timing {
    clock::duration second = std::chrono::seconds(1);
    // The watchdog's timeout (the setting), which starts the management and hung-service back-off.
    long long watchdog_timeout = 300;
    bool watchdog_enabled = true;
};

class machine {
public:
    // A daemon start: the wish is up (the client connects a registered camera by itself), and the
    // registration is what was saved, or unknown when nothing was.
    explicit machine(registration saved) : m_registration(saved) {}

    // --- events ---
    action service_started(clock::time_point now);
    action service_exited(clock::time_point now);
    action service_failed_to_start(clock::time_point now);
    action status_answered(const status_report& report, clock::time_point now);
    // `status` ran but the service did not answer (no daemon to dial) or the run timed out.
    action status_unanswered(clock::time_point now);
    void operator_up();
    void operator_down();
    action operator_restart();
    // A deregistration was accepted; it ends with the local reset (or without one, when it failed).
    void deregistration_started();
    void deregistration_ended(bool reset);
    void stopping();
    action watchdog_tick(clock::time_point now);
    // An `up` with a key succeeded.
    void logged_in();

    void set_timing(const timing& value) { m_timing = value; }

    // --- what others read ---
    state current() const { return m_state; }
    // One sentence for the operator on why the state is what it is.
    const std::string& reason() const { return m_reason; }
    bool wants_up() const { return m_wish_up; }
    registration registered() const { return m_registration; }
    // While a deregistration waits for its turn, the camera counts as not registered.
    bool deregistering() const { return m_deregistrations > 0; }
    std::optional<restart_cause> last_restart_cause() const { return m_last_cause; }
    // While waiting: how long until the next start.
    std::optional<clock::duration> next_start_in(clock::time_point now) const;
    // Set when a registration change is to be saved; the caller saves and clears it.
    bool registration_changed() {
        const bool changed = m_registration_changed;
        m_registration_changed = false;
        return changed;
    }

private:
    enum class trouble { none, lost_management, hung_service };

    void enter(state next, std::string reason);
    void remember(registration value);
    void read_registration(const std::string& daemon_status, std::optional<bool> management_connected);
    action note_trouble(trouble kind, clock::time_point now);
    void note_health(clock::time_point now);
    action back_off_start(restart_cause cause, clock::time_point now);
    clock::duration management_wait() const;
    clock::duration crash_wait() const;
    clock::duration seconds(long long count) const { return count * m_timing.second; }
    bool watchdog_armed() const;

    state m_state = state::stopped;
    std::string m_reason = "The VPN service is not started yet.";
    bool m_shutting_down = false;
    int m_deregistrations = 0;
    bool m_wish_up = true;
    registration m_registration;
    bool m_registration_changed = false;
    timing m_timing;

    clock::time_point m_started_at{};
    trouble m_trouble = trouble::none;
    clock::time_point m_trouble_since{};
    std::optional<clock::time_point> m_healthy_since;
    bool m_kept_tunnel_logged = false;
    // How many restarts in a row each trouble has had: the next wait doubles with each.
    int m_management_restarts = 0;
    int m_crash_restarts = 0;
    clock::time_point m_next_start{};
    std::optional<restart_cause> m_last_cause;
};

}  // namespace vpn_lifecycle

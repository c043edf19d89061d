// Children that leave helpers behind, what children inherit from the daemon, and a service whose
// start fails: the daemon keeps answering, stops children with whatever they left in their
// process group, and starts the service again once it can.

#include "harness.hpp"
#include "inspect.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace test_support;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// --- helpers left behind ---

// Where the simulator's helper stays: in the child's process group, or out of it (setsid).
enum class helper_kind { in_group, detached };

std::string name_of(helper_kind kind) { return kind == helper_kind::in_group ? "in group" : "detached"; }

// The helpers ("sleep <seconds>") of one test. Each test gives its helpers a lifetime of its own,
// which tells them apart from those of tests running beside it.
class helpers {
public:
    helpers(std::string seconds, helper_kind kind) : m_seconds(std::move(seconds)), m_kind(kind) {}
    // Detached helpers outlive everything the daemon stops; they end with the test.
    ~helpers() {
        for (const process_entry& helper : live())
            ::kill(helper.pid, SIGKILL);
    }
    helpers(const helpers&) = delete;
    helpers& operator=(const helpers&) = delete;

    std::vector<std::pair<std::string, std::string>> env() const {
        std::vector<std::pair<std::string, std::string>> variables{{"NB_SIM_HELPER_SECONDS", m_seconds}};
        if (m_kind == helper_kind::detached) variables.emplace_back("NB_SIM_HELPER_DETACHED", "1");
        return variables;
    }

    std::vector<process_entry> live() const {
        std::vector<process_entry> found;
        for (const process_entry& entry : list_processes())
            if (!entry.zombie() && entry.argv == std::vector<std::string>{"sleep", m_seconds}) found.push_back(entry);
        return found;
    }

    // The helper of the one running service, or -1.
    pid_t of_service(const staged_app& app) const {
        const std::vector<pid_t> services = service_pids(app.netbird());
        if (services.size() != 1) return -1;
        for (const process_entry& helper : live())
            if (helper.parent == services.front()) return helper.pid;
        return -1;
    }

    // What must have become of a helper once the daemon has stopped its child: killed with the
    // child's group, or, out of the group, still alive (so the daemon did not wait for it).
    void expect_fate(pid_t helper, const std::string& when) const {
        if (m_kind == helper_kind::in_group)
            EXPECT_TRUE(wait_for([&] { return !process_alive(helper); }, 5s)) << when;
        else
            EXPECT_TRUE(process_alive(helper)) << when;
    }

private:
    std::string m_seconds;
    helper_kind m_kind;
};

// The daemon stops its NetBird service on a restart request, when the service died by itself,
// and at shutdown; each time a helper of the service holds the service's standard error.
TEST(children, helpers_left_by_the_service_hold_up_neither_the_api_nor_shutdown) {
    for (const helper_kind kind : {helper_kind::in_group, helper_kind::detached}) {
        SCOPED_TRACE(name_of(kind));
        const helpers left(kind == helper_kind::in_group ? "611" : "612", kind);
        auto env = left.env();
        env.emplace_back("OVRA_TEST_SECOND_MS", "200");  // the crash's wait of 5 s takes one
        staged_app app(staged_app::options{.env = std::move(env)});
        app.start();
        pid_t helper = -1;
        ASSERT_TRUE(wait_for([&] { return (helper = left.of_service(app)) > 0; }));

        EXPECT_EQ(app.client().post(API + "/restart").status, 200);
        left.expect_fate(helper, "after a restart");

        const pid_t previous = helper;
        ASSERT_TRUE(wait_for([&] { return (helper = left.of_service(app)) > 0 && helper != previous; }));
        ::kill(service_pids(app.netbird()).front(), SIGKILL);  // the service dies; its helper stays
        EXPECT_TRUE(wait_for([&] { return occurrences(app.app_log(), "[W] VPN service exited\n") == 1; }, 10s));
        EXPECT_EQ(app.client().get(API + "/config").status, 200);
        left.expect_fate(helper, "after the service died");

        const pid_t crashed = helper;
        ASSERT_TRUE(wait_for([&] { return (helper = left.of_service(app)) > 0 && helper != crashed; }));
        EXPECT_EQ(app.stop(), 0);
        left.expect_fate(helper, "after shutdown");
    }
}

// One-off commands that leave helpers holding their output: each command is answered, the status
// poll moves on, and the helpers in the command's group are gone with it.
TEST(children, commands_whose_helpers_keep_their_output_open_are_answered) {
    for (const helper_kind kind : {helper_kind::in_group, helper_kind::detached}) {
        SCOPED_TRACE(name_of(kind));
        const helpers left(kind == helper_kind::in_group ? "621" : "622", kind);
        staged_app app;
        app.start();
        // Overrides reach one-off commands at once; the running service keeps its environment.
        for (const auto& [name, value] : left.env())
            ASSERT_EQ(app.client().post(API + "/env", form(name, value)).status, 200);

        const json up = document_of(app.client().post(API + "/up", UP_WITH_KEY));
        EXPECT_EQ(up["exit_code"], 0) << up.dump();
        EXPECT_EQ(up["ok"], true) << up.dump();
        if (kind == helper_kind::detached) {
            EXPECT_FALSE(left.live().empty());  // answered while they live
        }
        json status;
        EXPECT_TRUE(wait_for(
            [&] {
                status = document_of(app.client().get(API + "/status"));
                return status.contains("status") && status["status"]["management"]["connected"] == true;
            },
            20s))
            << status.dump().substr(0, 300);
        if (kind == helper_kind::in_group) {
            EXPECT_TRUE(wait_for([&] { return left.live().empty(); }, 5s));
        }
        EXPECT_EQ(app.stop(), 0);
    }
}

// The iperf3 server through a script that leaves a helper, as a wrapper around it might: stopped
// on request, or reaped after it ended by itself.
TEST(children, helpers_left_by_iperf3_hold_up_neither_a_stop_nor_a_status_request) {
    const helpers left("631", helper_kind::in_group);
    staged_app app;
    const fs::path script = app.dir() / "lib" / "iperf3";
    fs::remove(script);
    write_file(script, "#!/bin/sh\nsleep 631 &\n[ -e \"$0.ends\" ] && exit 0\nexec /usr/bin/iperf3 \"$@\"\n");
    fs::permissions(script, fs::perms(0755));
    app.start();

    ASSERT_EQ(app.client().post(API + "/iperf/server/start", "port=5461").status, 200);
    ASSERT_TRUE(wait_for([&] { return left.live().size() == 1; }));
    const json stopped = document_of(app.client().post(API + "/iperf/server/stop"));
    EXPECT_EQ(stopped["running"], false) << stopped.dump();
    EXPECT_TRUE(wait_for([&] { return left.live().empty(); }, 5s));

    write_file(fs::path(script) += ".ends", "");
    ASSERT_EQ(app.client().post(API + "/iperf/server/start", "port=5462").status, 200);
    ASSERT_TRUE(wait_for([&] { return left.live().size() == 1; }));
    json status;
    EXPECT_TRUE(wait_for([&] {
        status = document_of(app.client().get(API + "/iperf/server/status"));
        return status["running"] == false;
    })) << status.dump();
    EXPECT_EQ(status["port"], 0);
    EXPECT_TRUE(wait_for([&] { return left.live().empty(); }, 5s));
    EXPECT_EQ(app.stop(), 0);
}

// --- what children inherit ---

// Descriptor number to what it refers to ("socket:[123]", a path, ...).
std::map<int, std::string> descriptors_of(pid_t pid) {
    std::map<int, std::string> found;
    std::error_code ec;
    const fs::path dir = "/proc/" + std::to_string(pid) + "/fd";
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code link_error;
        const fs::path target = fs::read_symlink(it->path(), link_error);
        if (!link_error) found[std::stoi(it->path().filename().string())] = target.string();
    }
    return found;
}

// Whether a child holding `target` shares it with the daemon: the same socket or pipe, or a file of
// the daemon's. Event and poll descriptors all read alike, whoever made them.
bool held_by(const std::map<int, std::string>& daemon, const std::string& target) {
    if (target.starts_with("anon_inode:") || target == "/dev/null") return false;
    for (const auto& [fd, held] : daemon)
        if (held == target) return true;
    return false;
}

TEST(children, inherit_only_their_standard_descriptors) {
    staged_app app;
    app.start();
    http_client idle;  // a client connection open while the children start
    idle.send_raw("");
    ASSERT_EQ(app.client().post(API + "/env", form("NB_SIM_HANG", "status")).status, 200);
    ASSERT_EQ(app.client().post(API + "/iperf/server/start", "port=5471").status, 200);
    ASSERT_EQ(app.client().post(API + "/restart").status, 200);  // a service started with all that open

    std::vector<pid_t> children;
    ASSERT_TRUE(wait_for([&] {
        children = service_pids(app.netbird());
        for (const process_entry& entry : processes_of(app.netbird()))
            if (entry.has_arg("status")) children.push_back(entry.pid);
        for (const process_entry& entry : processes_of(app.dir() / "lib" / "iperf3")) children.push_back(entry.pid);
        return children.size() == 3;
    })) << children.size();

    const std::map<int, std::string> daemon = descriptors_of(app.pid());
    ASSERT_FALSE(daemon.empty());
    for (const pid_t child : children) {
        for (const auto& [fd, target] : descriptors_of(child))
            EXPECT_FALSE(fd > 2 && held_by(daemon, target)) << "child " << child << " holds " << fd << " -> " << target;
    }
    EXPECT_EQ(app.stop(), 0);
}

// --- output without end ---

// 200 MiB from the service on standard error without a newline, then a 200 MiB status document
// (one line, as the real one has no newline): each is cut, logged once, and memory comes back
// (the figures go to the output).
TEST(children, floods_of_output_are_cut_and_leave_memory_bounded) {
    constexpr long PEAK_MARGIN_KIB = 64 * 1024;
    constexpr long AFTER_MARGIN_KIB = 16 * 1024;
    staged_app app;
    app.start();
    ASSERT_EQ(app.client().get(API + "/status").status, 200);
    const long before = settled_usage_of(app.pid()).rss_kib;
    const auto flood = [&](const std::string& variable, const std::string& value, const std::string& logged) {
        ASSERT_EQ(app.client().post(API + "/env", form(variable, value)).status, 200);
        ASSERT_EQ(app.client().post(API + "/restart").status, 200);  // which also wakes the status poll
        const long peak = peak_rss_kib(app.pid(), 3s);
        EXPECT_TRUE(wait_for([&] { return app.app_log().find(logged) != std::string::npos; }, 20s)) << app.app_log();
        std::cout << "RSS with 200 MiB from " << variable << ": peak " << peak << " KiB\n";
        if (RSS_TELLS_MEMORY && figures_are_its_own(app.pid(), "resident size under a flood of output")) {
            EXPECT_LE(peak, before + PEAK_MARGIN_KIB) << variable;
        }
    };
    flood("NB_SIM_SERVICE_STDERR_MIB", "200", "[W] VPN service output cut past 1048576 bytes");
    ASSERT_EQ(app.client().post(API + "/env", form("NB_SIM_SERVICE_STDERR_MIB", "")).status, 200);
    flood("NB_SIM_STATUS", "flood", "status --json cut past 8388608 bytes");
    ASSERT_EQ(app.client().post(API + "/env", form("NB_SIM_STATUS", "")).status, 200);
    EXPECT_EQ(app.client().post(API + "/restart").status, 200);
    EXPECT_TRUE(wait_for([&] { return document_of(app.client().get(API + "/status")).contains("status"); }, 20s));
    const long after = settled_usage_of(app.pid()).rss_kib;
    std::cout << "RSS: " << before << " KiB before, " << after << " KiB after the floods\n";
    if (RSS_TELLS_MEMORY && figures_are_its_own(app.pid(), "resident size after a flood of output")) {
        EXPECT_LE(after, before + AFTER_MARGIN_KIB);
    }
    EXPECT_EQ(app.stop(), 0);
}

// --- a service that cannot be started ---

// Out of descriptors, a service that died cannot be started again; with the watchdog off, the
// start is still retried each period and succeeds once descriptors are free, and the failure is
// logged once, not once a retry.
TEST(children, a_failed_service_start_is_retried_with_back_off) {
    // Lifecycle seconds of 100 ms: the waits of 5, 10 and 20 s take moments.
    staged_app app({.env = {{"OVRA_TEST_SECOND_MS", "100"}}});
    app.start();
    ASSERT_EQ(app.client().post(API + "/config", form("watchdog_enabled", "false")).status, 200);
    const std::vector<pid_t> first = service_pids(app.netbird());
    ASSERT_EQ(first.size(), 1u);

    // Every descriptor a start needs is refused while the limit stands below those already open.
    rlimit usual{};
    ASSERT_EQ(::prlimit(app.pid(), RLIMIT_NOFILE, nullptr, &usual), 0);
    const rlimit exhausted{3, usual.rlim_max};
    ASSERT_EQ(::prlimit(app.pid(), RLIMIT_NOFILE, &exhausted, nullptr), 0);
    ::kill(first.front(), SIGKILL);
    const std::string longer_wait = "[W] The VPN service could not start; it is tried again in 20 s.";
    ASSERT_TRUE(wait_for([&] { return app.app_log().find(longer_wait) != std::string::npos; }, 20s)) << app.app_log();
    EXPECT_TRUE(service_pids(app.netbird()).empty());
    EXPECT_EQ(occurrences(app.app_log(), "[E] Failed to start VPN service: "), 2u) << app.app_log();

    ASSERT_EQ(::prlimit(app.pid(), RLIMIT_NOFILE, &usual, nullptr), 0);
    EXPECT_TRUE(wait_for([&] { return occurrences(app.app_log(), "[I] VPN service started") == 2; }, 15s))
        << app.app_log();
    EXPECT_EQ(service_pids(app.netbird()).size(), 1u);
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace

// Faults around the daemon: a NetBird client that crashes, hangs or prints odd output, client
// executables that are missing or cannot run, a data directory that cannot be written, and the
// daemon itself killed with SIGKILL in the middle of its work. After each the API still answers,
// the settings on disk are whole, one service runs and no child outlives the daemon.

#include "harness.hpp"
#include "inspect.hpp"

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

using namespace test_support;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// The document in a file; discarded when the file is missing or is not JSON.
json read_json(const fs::path& path) { return json::parse(read_file(path), nullptr, false); }

std::vector<pid_t> live_children(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : list_processes())
        if (entry.parent == parent && !entry.zombie()) children.push_back(entry.pid);
    return children;
}

// Staged setup keys and half-written settings left in the data directory.
// A save under way has its temporary file for a moment (the journal's, after each command): only
// one that stays is left over.
std::vector<std::string> leftovers(const staged_app& app) {
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(app.data_dir(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with("setup-key-") || name.ends_with(".tmp")) found.push_back(name);
    }
    return found;
}

std::vector<std::string> exposure(const staged_app& app, syslog_capture& syslog) {
    return exposure_findings(app.dir(), syslog.lines(), SETUP_KEY);
}

void register_device(staged_app& app) {
    const json up = document_of(app.client().post(API + "/up", UP_WITH_KEY));
    ASSERT_EQ(up["exit_code"], 0) << up.dump();
}

// --- a NetBird client that misbehaves ---

TEST(faults, a_service_crashing_in_a_loop_is_restarted_with_back_off_and_nothing_piles_up) {
    // Lifecycle seconds of 50 ms: the back-off's waits of 5, 10 and 20 s take moments. Between
    // crashes a status poll's dial fails at once instead of holding its pipes for a second, so
    // that the quiet moments the measures need come between polls, also on a loaded machine.
    staged_app app({.env = {{"NB_SIM_SERVICE_EXIT_AFTER_MS", "300"},
                            {"OVRA_TEST_SECOND_MS", "50"},
                            {"NB_SIM_CONNECT_WAIT_MS", "0"}}});
    app.start();
    const auto starts = [&] { return occurrences(app.app_log(), "[I] VPN service started"); };
    ASSERT_TRUE(wait_for([&] { return starts() >= 2; }, 30s)) << app.app_log();
    ASSERT_EQ(app.client().get(API + "/status").status, 200);  // its connection counts in both measures
    const resource_usage early = settled_usage_of(app.pid());
    const std::size_t starts_before = starts();

    int asked = 0;
    int answered = 0;
    std::size_t most_zombies = 0;
    std::size_t most_services = 0;
    // Two more restarts, each after its wait; the deadline only ends a run that never gets there.
    const auto restarted_twice = [&] { return starts() - starts_before >= 2; };
    for (const auto until = std::chrono::steady_clock::now() + 60s;
         !restarted_twice() && std::chrono::steady_clock::now() < until;) {
        ++asked;
        if (app.client().get(API + "/status").status == 200) ++answered;
        most_zombies = std::max(most_zombies, zombie_children(app.pid()));
        most_services = std::max(most_services, service_pids(app.netbird()).size());
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(restarted_twice()) << app.app_log();
    EXPECT_EQ(answered, asked);
    EXPECT_LE(most_zombies, 1u);  // the crashed service, until the next exit check reaps it
    EXPECT_EQ(most_services, 1u);
    const resource_usage late = settled_usage_of(app.pid());
    EXPECT_LE(late.threads, early.threads);
    EXPECT_LE(late.descriptors, early.descriptors);
    EXPECT_NE(app.netbird_log().find("panic: simulated crash"), std::string::npos);
    EXPECT_EQ(app.stop(), 0);
}

TEST(faults, commands_do_not_wait_for_a_hanging_status_poll) {
    syslog_capture syslog;
    staged_app app({.env = {{"NB_SIM_HANG", "status"}}});
    app.start();
    std::vector<pid_t> hanging;
    ASSERT_TRUE(wait_for([&] { return (hanging = one_offs(app.netbird(), "status")).size() == 1; }));

    const json up = document_of(app.client().post(API + "/up", UP_WITH_KEY));
    EXPECT_EQ(up["exit_code"], 0) << up.dump();
    EXPECT_FALSE(process_alive(hanging.front()));  // the poll gave way, killed and reaped
    EXPECT_EQ(app.app_log().find("Command timed out"), std::string::npos) << "the command waited out the poll";
    EXPECT_EQ(app.client().get(API + "/status").status, 200);
    // The registration the up taught may still be on its way to disk.
    EXPECT_TRUE(wait_for([&] { return leftovers(app).empty(); }));
    // The poll that the command's end wakes hangs again; the daemon serves on.
    EXPECT_TRUE(wait_for([&] { return one_offs(app.netbird(), "status").size() == 1; }));
    EXPECT_EQ(app.client().get(API + "/config").status, 200);
    EXPECT_EQ(exposure(app, syslog), std::vector<std::string>{});
    EXPECT_EQ(app.stop(), 0);
}

TEST(faults, a_hanging_command_is_answered_124_after_a_minute_and_the_queue_moves_on) {
    syslog_capture syslog;
    // Limit seconds of 100 ms: the command's minute passes in 6 s, ample for the commands that do end.
    staged_app app({.env = {{"OVRA_TEST_LIMIT_SECOND_MS", "100"}}});
    app.start();
    ASSERT_EQ(app.client().post(API + "/env", form("NB_SIM_HANG", "up")).status, 200);
    http_client hanging;
    http_client queued;
    hanging.send_request("POST", API + "/up", UP_WITH_KEY);
    ASSERT_TRUE(wait_for([&] { return one_offs(app.netbird(), "up").size() == 1; }));
    queued.send_request("POST", API + "/down");
    EXPECT_EQ(app.client().get(API + "/config").status, 200);  // the loop is not held up meanwhile

    const json up = document_of(hanging.read_reply(30s));
    EXPECT_EQ(up["exit_code"], 124) << up.dump();
    EXPECT_EQ(up["ok"], false);
    const json down = document_of(queued.read_reply());
    EXPECT_EQ(down["exit_code"], 0) << down.dump();  // it ran
    EXPECT_EQ(one_offs(app.netbird(), "up"), std::vector<pid_t>{});
    EXPECT_NE(app.app_log().find("[E] Command timed out after 60 seconds"), std::string::npos);
    EXPECT_TRUE(wait_for([&] { return leftovers(app).empty(); }));
    EXPECT_EQ(exposure(app, syslog), std::vector<std::string>{});
    EXPECT_EQ(app.stop(), 0);
}

TEST(faults, status_output_that_is_not_one_json_document_reaches_the_status_endpoint) {
    struct output_case {
        const char* mode;
        bool (*seen)(const json& status);
    };
    const output_case cases[] = {
        {"nonjson",
         [](const json& s) {
             return !s.contains("status") && s.value("output", "").find("Daemon status: ") != std::string::npos;
         }},
        {"trailing", [](const json& s) { return !s.contains("status") && s.value("output", "").starts_with("{"); }},
        {"huge", [](const json& s) { return s.contains("status") && s["status"]["events"].size() > 1000; }},
    };
    staged_app app;
    app.start();
    for (const output_case& c : cases) {
        ASSERT_EQ(app.client().post(API + "/env", form("NB_SIM_STATUS", c.mode)).status, 200);
        ASSERT_EQ(app.client().post(API + "/restart").status, 200);  // which wakes the status poll
        json status;
        EXPECT_TRUE(wait_for(
            [&] {
                status = document_of(app.client().get(API + "/status"));
                // A snapshot from before the switch may hold any document: not seen yet.
                try {
                    return status.is_object() && c.seen(status);
                } catch (const json::exception&) {
                    return false;
                }
            },
            12s))
            << c.mode << ": " << status.dump().substr(0, 300);
        EXPECT_EQ(status["exit_code"], 0) << c.mode;
        EXPECT_EQ(status["ok"], true) << c.mode;
    }
    EXPECT_EQ(app.stop(), 0);
}

// --- client executables that are missing or cannot run ---

enum class breakage { missing, not_executable };

class broken_executables : public testing::TestWithParam<breakage> {};

// A copy without execute permission in place of each executable in lib/.
void strip_execute_permission(const staged_app& app) {
    for (const char* name : {"netbird", "iperf3"}) {
        const fs::path executable = app.dir() / "lib" / name;
        const fs::path copy = fs::path(executable) += ".copy";
        fs::copy_file(fs::canonical(executable), copy);
        fs::permissions(copy, fs::perms(0644));
        fs::rename(copy, executable);
    }
}

TEST_P(broken_executables, give_clear_answers_and_nothing_crashes) {
    staged_app::options options;
    options.with_netbird = options.with_iperf3 = GetParam() != breakage::missing;
    staged_app app(options);
    if (GetParam() == breakage::not_executable) strip_execute_permission(app);
    app.start();
    const bool missing = GetParam() == breakage::missing;
    const std::string client_failure = missing ? "VPN CLI not found" : "process failed: ";

    for (int attempt = 0; attempt < 3; ++attempt) {
        const json up = document_of(app.client().post(API + "/up", UP_WITH_KEY));
        EXPECT_EQ(up["exit_code"], 127);
        EXPECT_EQ(up["output"].get<std::string>().rfind(client_failure, 0), 0u) << up.dump();
        EXPECT_EQ(document_of(app.client().post(API + "/restart"))["running"], false);
    }
    json status;
    EXPECT_TRUE(wait_for([&] {
        status = document_of(app.client().get(API + "/status"));
        return status["exit_code"] == 127;
    })) << status.dump();
    const http_reply bundle = app.client().get(API + "/debug-bundle");
    EXPECT_EQ(bundle.status, 500);
    EXPECT_EQ(bundle.body, R"({"error":"Debug bundle failed"})");
    const http_reply iperf = app.client().post(API + "/iperf/server/start", "port=5431");
    EXPECT_EQ(iperf.status, 500);
    EXPECT_EQ(iperf.body, R"({"error":"Could not start iperf3 server"})");

    const std::string log = app.app_log();
    EXPECT_NE(log.find(missing ? "[E] VPN CLI not found at " : "[E] Failed to start VPN service: "), std::string::npos)
        << log;
    EXPECT_NE(log.find(missing ? "[E] iperf3 binary not found at " : "[E] Failed to start iperf3 server: "),
              std::string::npos)
        << log;
    EXPECT_EQ(zombie_children(app.pid()), 0u);
    EXPECT_TRUE(wait_for([&] { return leftovers(app).empty(); }));
    EXPECT_EQ(app.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(faults, broken_executables, testing::Values(breakage::missing, breakage::not_executable),
                         [](const auto& case_info) {
                             return case_info.param == breakage::missing ? std::string("missing")
                                                                    : std::string("not_executable");
                         });

// --- a data directory that cannot be written ---

// A file system mounted over a directory while the object lives (in the test's own namespace).
class scoped_mount {
public:
    enum kind { small_tmpfs, read_only_view };

    scoped_mount(fs::path dir, kind k) : m_dir(std::move(dir)) {
        const bool mounted = k == small_tmpfs ? ::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, "size=512k,mode=0755") == 0
                                              : mount_read_only_view();
        if (!mounted) throw std::runtime_error("cannot mount over " + m_dir.string());
    }
    ~scoped_mount() { ::umount2(m_dir.c_str(), MNT_DETACH); }
    scoped_mount(const scoped_mount&) = delete;
    scoped_mount& operator=(const scoped_mount&) = delete;

private:
    // The directory bound onto itself, then made read-only. The remount keeps the flags that the
    // user namespace locked on the original mount, or the kernel refuses it.
    bool mount_read_only_view() const {
        constexpr unsigned long LOCKABLE = ST_NOSUID | ST_NODEV | ST_NOEXEC | ST_NOATIME | ST_NODIRATIME | ST_RELATIME;
        struct statvfs info {};
        const char* dir = m_dir.c_str();
        if (::statvfs(dir, &info) != 0 || ::mount(dir, dir, nullptr, MS_BIND, nullptr) != 0) return false;
        return ::mount(nullptr, dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | (info.f_flag & LOCKABLE), nullptr) == 0;
    }

    fs::path m_dir;
};

// Writes into a new file until the file system refuses another byte.
void fill_up(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, "x", 1) > 0) {
    }
    ::close(fd);
}

// 0 while no settings were ever saved.
int saved_mtu(const staged_app& app) {
    const json saved = read_json(app.data_dir() / "app.json");
    return saved.is_object() ? saved.value("mtu", 0) : 0;
}

// With the data directory unwritable: every save fails loudly, to the client (500 and an error
// document) and in the system log (the daily log file lives there too); what the daemon runs with
// stays what the files hold, no command runs for a change that was not saved, no secret or
// temporary file is left behind, and the API keeps answering.
void expect_failed_saves_to_be_harmless(staged_app& app, syslog_capture& syslog, const sim_record& record) {
    const http_reply config = app.client().post(API + "/config", form("mtu", "1500"));
    EXPECT_EQ(config.status, 500);
    EXPECT_EQ(config.body, R"({"error":"Could not save settings"})");
    EXPECT_EQ(document_of(app.client().get(API + "/config"))["mtu"], 1400);
    const std::size_t ups_before = record.invocations_with("up");
    const http_reply up_with_change = app.client().post(API + "/up", UP_WITH_KEY + "&mtu=1500");
    EXPECT_EQ(up_with_change.status, 500);
    EXPECT_EQ(up_with_change.body, R"({"error":"Could not save settings"})");
    EXPECT_EQ(record.invocations_with("up"), ups_before) << "an up whose settings were not saved runs nothing";
    EXPECT_EQ(json(record.lines()).dump().find("1500"), std::string::npos);
    const http_reply env = app.client().post(API + "/env", form("NB_SIM_X", "1"));
    EXPECT_EQ(env.status, 500);
    EXPECT_EQ(env.body, R"({"error":"Could not save overrides"})");
    EXPECT_EQ(app.client().get(API + "/env").body.find("NB_SIM_X"), std::string::npos);
    const http_reply up = app.client().post(API + "/up", UP_WITH_KEY);
    EXPECT_EQ(up.status, 500);
    EXPECT_EQ(up.body, R"({"error":"Could not stage setup key"})");

    const auto logged = [&](const std::string& line) { return wait_for([&] { return syslog.contains(line); }); };
    for (const char* file : {"app.json", "env.json"})
        EXPECT_TRUE(logged("[E] Failed to write " + (app.data_dir() / file).string())) << file;
    EXPECT_TRUE(logged("[E] Could not stage setup-key file"));
    EXPECT_EQ(saved_mtu(app), 1400);
    EXPECT_TRUE(wait_for([&] { return leftovers(app).empty(); }));
    EXPECT_EQ(app.client().get(API + "/status").status, 200);
    EXPECT_EQ(app.client().get(API + "/config").status, 200);
    EXPECT_EQ(exposure(app, syslog), std::vector<std::string>{});
}

TEST(faults, a_full_data_directory_keeps_the_saved_settings_and_the_api_answering) {
    syslog_capture syslog;
    const sim_record record;
    staged_app app({.env = {record.env()}});
    fs::create_directories(app.data_dir());
    const scoped_mount mount(app.data_dir(), scoped_mount::small_tmpfs);
    app.start();
    ASSERT_EQ(document_of(app.client().post(API + "/up", UP_WITH_KEY + "&mtu=1400"))["exit_code"], 0);
    fill_up(app.data_dir() / "filler");

    // An up built while a change is saving runs without it; the save fails.
    http_client racing;
    racing.send_request("POST", API + "/config", form("mtu", "1500"));
    EXPECT_EQ(app.client().post(API + "/up").status, 200);
    EXPECT_EQ(racing.read_reply().status, 500);
    expect_failed_saves_to_be_harmless(app, syslog, record);
    fs::remove(app.data_dir() / "filler");
    EXPECT_EQ(app.stop(), 0);
    app.start();
    EXPECT_EQ(document_of(app.client().get(API + "/config"))["mtu"], 1400);
    EXPECT_EQ(app.stop(), 0);
}

TEST(faults, a_read_only_data_directory_keeps_the_saved_settings_and_the_api_answering) {
    syslog_capture syslog;
    const sim_record record;
    staged_app app({.env = {record.env()}});
    app.start();
    ASSERT_EQ(app.client().post(API + "/config", form("mtu", "1400")).status, 200);
    EXPECT_EQ(app.stop(), 0);

    std::optional<scoped_mount> mount(std::in_place, app.data_dir(), scoped_mount::read_only_view);
    app.start();
    expect_failed_saves_to_be_harmless(app, syslog, record);
    EXPECT_EQ(app.stop(), 0);
    mount.reset();
    app.start();
    EXPECT_EQ(document_of(app.client().get(API + "/config"))["mtu"], 1400);
    EXPECT_EQ(app.stop(), 0);
}

// Standard output and error into a pipe that nobody reads, as when the console has gone away.
void close_console() {
    int ends[2];
    if (::pipe(ends) != 0) ::_exit(126);
    ::dup2(ends[1], STDOUT_FILENO);
    ::dup2(ends[1], STDERR_FILENO);
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(faults, log_errors_reported_to_a_console_that_went_away_do_not_end_the_daemon) {
    staged_app::options options;
    options.before_exec = close_console;
    staged_app app(options);
    fs::create_directories(app.data_dir());
    const scoped_mount mount(app.data_dir(), scoped_mount::small_tmpfs);
    app.start();
    fill_up(app.data_dir() / "filler");
    // Its lines no longer fit in the daily log files. Once the logging library's buffers have
    // filled, it reports each failed write on the console.
    for (int restart = 0; restart < 50; ++restart)
        ASSERT_EQ(app.client().post(API + "/restart").status, 200) << "restart " << restart;
    EXPECT_EQ(app.client().get(API + "/config").status, 200);
    EXPECT_TRUE(process_alive(app.pid()));
    EXPECT_EQ(app.stop(), 0);
}

// --- the daemon killed with SIGKILL ---

// Kills the daemon, starts it again at once, and checks what the new start must find: whole
// settings files, no staged key or temporary file, every child of the killed daemon gone, and
// one service (a second one would fight the first for the NetBird socket).
class killed_daemon {
public:
    explicit killed_daemon(staged_app& app) : m_app(app), m_children(live_children(app.pid())) {
        m_app.stop(SIGKILL);
    }

    void expect_clean_restart() {
        // A child that the killed daemon forked and that has not yet run its program still holds the
        // old listening socket, so the start would find that one answering instead of the new daemon.
        fs::remove(API_SOCKET);
        m_app.start();
        for (const char* name : {"app.json", "env.json", "config.json"}) {
            const fs::path file = m_app.data_dir() / name;
            if (fs::exists(file)) {
                EXPECT_TRUE(read_json(file).is_object()) << name << ": " << read_file(file);
            }
        }
        // The new start's own saves (the journal's start event) may still be under way.
        EXPECT_TRUE(wait_for([&] { return leftovers(m_app).empty(); })) << json(leftovers(m_app)).dump();
        EXPECT_TRUE(wait_for(
            [&] {
                return std::none_of(m_children.begin(), m_children.end(), [](pid_t pid) { return process_alive(pid); });
            }));
        EXPECT_TRUE(wait_for([&] { return service_pids(m_app.netbird()).size() == 1; }, 30s));
    }

private:
    staged_app& m_app;
    std::vector<pid_t> m_children;
};

TEST(faults, a_daemon_killed_while_saving_settings_restarts_with_whole_settings) {
    constexpr int FIRST_MTU = 600;
    constexpr int LAST_MTU = 8192;
    staged_app app;
    app.start();
    for (const auto delay : {20ms, 70ms, 150ms, 260ms, 400ms}) {
        std::atomic<int> acknowledged{-1};
        // Saves back to back until the daemon dies under one (joined before the next start).
        std::thread writer([&] {
            http_client client;
            try {
                for (int i = 0; FIRST_MTU + i <= LAST_MTU; ++i)
                    if (client.post(API + "/config", form("mtu", std::to_string(FIRST_MTU + i))).status == 200)
                        acknowledged = i;
            } catch (const std::runtime_error&) {
                return;
            }
        });
        std::this_thread::sleep_for(delay);
        killed_daemon killed(app);
        writer.join();
        killed.expect_clean_restart();
        // An answered save is on disk; the one cut short left the old or the new value.
        if (acknowledged >= 0) {
            EXPECT_GE(saved_mtu(app), FIRST_MTU + acknowledged) << "after " << delay.count() << " ms";
        }
    }
    EXPECT_EQ(app.stop(), 0);
}

TEST(faults, a_daemon_killed_during_a_reconnect_or_a_deregistration_comes_back_whole) {
    syslog_capture syslog;
    staged_app app;
    app.start();
    // Slow commands, so that the kills land in the down, the up and the restart that follows.
    ASSERT_EQ(app.client().post(API + "/env", form("NB_SIM_DELAY_MS", "400")).status, 200);
    for (const char* command : {"/reconnect", "/deregister"}) {
        for (const auto delay : {100ms, 600ms, 1000ms}) {
            register_device(app);
            http_client client;
            client.send_request("POST", API + command);
            std::this_thread::sleep_for(delay);
            killed_daemon(app).expect_clean_restart();
            const json env = document_of(app.client().get(API + "/env"));
            EXPECT_NE(env.dump().find(R"("name":"NB_SIM_DELAY_MS","system":false,"value":"400")"), std::string::npos)
                << command << " after " << delay.count() << " ms: " << env.dump();
        }
    }
    EXPECT_EQ(exposure(app, syslog), std::vector<std::string>{});
    EXPECT_EQ(app.stop(), 0);
}

TEST(faults, no_child_outlives_a_killed_daemon) {
    syslog_capture syslog;
    staged_app app;
    app.start();
    ASSERT_EQ(app.client().post(API + "/env", form("NB_SIM_HANG", "up")).status, 200);
    ASSERT_EQ(app.client().post(API + "/iperf/server/start", "port=5421").status, 200);
    http_client hanging;
    hanging.send_request("POST", API + "/up", UP_WITH_KEY);
    ASSERT_TRUE(wait_for([&] { return one_offs(app.netbird(), "up").size() == 1; }));
    ASSERT_TRUE(wait_for([&] { return live_children(app.pid()).size() == 3; }))  // service, iperf3, up
        << live_children(app.pid()).size();

    killed_daemon killed(app);
    // The key staged for the killed command is a crash leftover: the next start removes it.
    killed.expect_clean_restart();
    EXPECT_EQ(exposure(app, syslog), std::vector<std::string>{});
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace

namespace {

// The reset after a deregistration clears the data directory while the settings writer may be
// saving: its temporary files are spared, so no change sent meanwhile fails.
TEST(faults, saves_racing_a_deregistration_are_all_answered_ok) {
    staged_app app;
    app.start();
    for (int round = 0; round < 5; ++round) {
        http_client deregistering;
        deregistering.send_request("POST", API + "/deregister");
        std::atomic<bool> done{false};
        std::atomic<int> failed{0};
        std::thread saver([&] {
            http_client client;
            for (int i = 0; !done; ++i) {
                if (client.post(API + "/config", form("mtu", std::to_string(600 + i % 100))).status != 200) ++failed;
                if (client.post(API + "/env", form("NB_SIM_T", std::to_string(i))).status != 200) ++failed;
            }
        });
        EXPECT_EQ(deregistering.read_reply().status, 200);
        done = true;
        saver.join();
        EXPECT_EQ(failed, 0) << "round " << round;
    }
    EXPECT_TRUE(json::parse(read_file(app.data_dir() / "env.json")).contains("NB_SIM_T"));
}

}  // namespace

#pragma once
// What process tests observe around the daemon: the processes on the machine, the resources the
// daemon holds, and what its application directory and logs reveal.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace test_support {

struct http_reply;

// The JSON document an answer carries; discarded when its body is not JSON.
nlohmann::json document_of(const http_reply& reply);

struct process_entry {
    pid_t pid = 0;
    pid_t parent = 0;
    char state = '?';  // as in /proc/<pid>/stat: R, S, D, Z, ...
    std::vector<std::string> argv;

    bool zombie() const { return state == 'Z'; }
    bool has_arg(std::string_view word) const;
};

// Every process visible now; entries that vanish while being read are left out.
std::vector<process_entry> list_processes();

// Live (not zombie) processes started from `executable`, matched on argv[0].
std::vector<process_entry> processes_of(const std::filesystem::path& executable);

// Live processes of `executable` that run the NetBird service ("service run").
std::vector<pid_t> service_pids(const std::filesystem::path& netbird);

// Running one-off commands of `netbird` (not the service) with the command word `command`.
std::vector<pid_t> one_offs(const std::filesystem::path& netbird, std::string_view command);

// Children of `parent` that ended and were never reaped.
std::size_t zombie_children(pid_t parent);

bool process_alive(pid_t pid);

// Whether the memory, CPU time and pace of `pid` are its own: not when it is a program of another
// architecture that an emulator runs, as qemu runs the arm64 build here, for they are then the
// emulator's. When they are not, says so for `figure`, the check that goes without them.
bool figures_are_its_own(pid_t pid, std::string_view figure);

// Sanitizer builds hold freed memory back on purpose (quarantine, shadow memory): there the
// resident size says nothing about what a load left behind.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool RSS_TELLS_MEMORY = false;
#else
inline constexpr bool RSS_TELLS_MEMORY = true;
#endif

// What a process holds, from /proc/<pid>/status, fd and task.
struct resource_usage {
    long rss_kib = 0;
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    long cpu_ticks = 0;  // user and system time so far, in clock ticks
};
resource_usage usage_of(pid_t pid);
// The smallest value of each measure sampled over `window`: a status poll briefly adds two reader
// threads and three pipes, so a single sample may catch one in flight.
resource_usage settled_usage_of(pid_t pid, std::chrono::milliseconds window = std::chrono::seconds(2));
// The largest resident size seen over `window`.
long peak_rss_kib(pid_t pid, std::chrono::milliseconds window);

// How often `piece` occurs in `text`, such as a line in a log.
std::size_t occurrences(std::string_view text, std::string_view piece);

// Regular files under `dir` (recursively) whose bytes contain `needle`.
std::vector<std::filesystem::path> files_containing(const std::filesystem::path& dir, std::string_view needle);

// Entries under `dir` (recursively, links not followed) writable by everyone and reachable by
// everyone: a directory that others cannot search hides what it holds.
std::vector<std::filesystem::path> world_writable_entries(const std::filesystem::path& dir);

// What would expose the camera: a file under the application directory or a system-log line
// holding the setup key, an entry of that directory writable by everyone, an API socket that the
// web server could not reach (mode other than 0666). One readable finding each; none is good.
std::vector<std::string> exposure_findings(const std::filesystem::path& app_dir,
                                           const std::vector<std::string>& syslog_lines, std::string_view key);

// The simulator's NB_SIM_RECORD file, a private temporary one removed with this object: one JSON
// line per NetBird invocation, and one per event a service records (such as an open proxy).
class sim_record {
public:
    sim_record();
    ~sim_record();
    sim_record(const sim_record&) = delete;
    sim_record& operator=(const sim_record&) = delete;

    // The variable that makes the simulator write here, for staged_app's environment.
    std::pair<std::string, std::string> env() const { return {"NB_SIM_RECORD", m_path.string()}; }
    std::vector<nlohmann::json> lines() const;
    // How many invocations had `word` in their command line, such as "up": the status polls that
    // run meanwhile do not count.
    std::size_t invocations_with(std::string_view word) const;

private:
    std::filesystem::path m_path;
};

}  // namespace test_support

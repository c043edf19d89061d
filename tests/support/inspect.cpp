#include "inspect.hpp"

#include "harness.hpp"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace test_support {

namespace {

fs::path proc_dir(pid_t pid) { return fs::path("/proc") / std::to_string(pid); }

std::vector<std::string> split_at_nul(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '\0');) parts.push_back(part);
    return parts;
}

// The fields of /proc/<pid>/stat after "pid (comm) ", which may hold blanks and parentheses;
// they start with the state and the parent's pid. Empty when the process is gone.
std::vector<std::string> stat_fields(pid_t pid) {
    const std::string stat = read_file(proc_dir(pid) / "stat");
    const auto comm_end = stat.rfind(") ");
    std::vector<std::string> fields;
    if (comm_end == std::string::npos) return fields;
    std::istringstream rest(stat.substr(comm_end + 2));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

constexpr std::size_t STATE_FIELD = 0;
constexpr std::size_t PARENT_FIELD = 1;
constexpr std::size_t USER_TIME_FIELD = 11;
constexpr std::size_t SYSTEM_TIME_FIELD = 12;

bool read_stat(pid_t pid, process_entry& entry) {
    const auto fields = stat_fields(pid);
    if (fields.size() <= PARENT_FIELD) return false;
    entry.state = fields[STATE_FIELD].front();
    entry.parent = std::stoi(fields[PARENT_FIELD]);
    return true;
}

// An emulator that the kernel starts for programs of another architecture (binfmt_misc), as
// qemu runs the arm64 build here. Its command line starts with its own path and, when registered
// with the P flag (argv[0] kept), the program's path, before the program's own argv.
struct emulator {
    std::string interpreter;
    bool keeps_argv0 = false;
};

// The emulators registered now, from /proc/sys/fs/binfmt_misc/<name>: "interpreter <path>" and
// "flags: <letters>" lines.
std::vector<emulator> read_emulators() {
    constexpr std::string_view INTERPRETER = "interpreter ";
    constexpr std::string_view FLAGS = "flags: ";
    std::vector<emulator> found;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/sys/fs/binfmt_misc", ec), end; !ec && it != end; it.increment(ec)) {
        std::istringstream entry(read_file(it->path()));
        emulator e;
        for (std::string line; std::getline(entry, line);) {
            if (line.starts_with(INTERPRETER)) e.interpreter = line.substr(INTERPRETER.size());
            if (line.starts_with(FLAGS)) e.keeps_argv0 = line.find('P', FLAGS.size()) != std::string::npos;
        }
        if (!e.interpreter.empty()) found.push_back(std::move(e));
    }
    return found;
}

const std::vector<emulator>& emulators() {
    static const std::vector<emulator> registered = read_emulators();
    return registered;
}

// The argv that the program itself sees, without the entries an emulator puts before it.
std::vector<std::string> argv_of(const fs::path& proc_entry) {
    std::vector<std::string> argv = split_at_nul(read_file(proc_entry / "cmdline"));
    const auto runner = std::find_if(emulators().begin(), emulators().end(), [&](const emulator& e) {
        return !argv.empty() && argv.front() == e.interpreter;
    });
    if (runner == emulators().end()) return argv;
    const std::size_t added = std::min<std::size_t>(runner->keeps_argv0 ? 2 : 1, argv.size());
    argv.erase(argv.begin(), argv.begin() + static_cast<std::ptrdiff_t>(added));
    return argv;
}

std::size_t entries_in(const fs::path& dir) {
    std::error_code ec;
    std::size_t count = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++count;
    return count;
}

}  // namespace

bool process_entry::has_arg(std::string_view word) const {
    return std::find(argv.begin(), argv.end(), word) != argv.end();
}

std::vector<process_entry> list_processes() {
    std::vector<process_entry> processes;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); })) continue;
        process_entry entry;
        entry.pid = std::stoi(name);
        if (!read_stat(entry.pid, entry)) continue;
        entry.argv = argv_of(it->path());
        processes.push_back(std::move(entry));
    }
    return processes;
}

std::vector<process_entry> processes_of(const fs::path& executable) {
    std::vector<process_entry> found;
    for (auto& entry : list_processes())
        if (!entry.zombie() && !entry.argv.empty() && entry.argv[0] == executable.string())
            found.push_back(std::move(entry));
    return found;
}

std::vector<pid_t> service_pids(const fs::path& netbird) {
    std::vector<pid_t> pids;
    for (const auto& entry : processes_of(netbird))
        if (entry.has_arg("service") && entry.has_arg("run")) pids.push_back(entry.pid);
    return pids;
}

std::vector<pid_t> one_offs(const fs::path& netbird, std::string_view command) {
    std::vector<pid_t> found;
    for (const auto& entry : processes_of(netbird))
        if (entry.has_arg(command) && !entry.has_arg("service")) found.push_back(entry.pid);
    return found;
}

std::size_t zombie_children(pid_t parent) {
    const auto processes = list_processes();
    return static_cast<std::size_t>(std::count_if(processes.begin(), processes.end(), [parent](const auto& entry) {
        return entry.parent == parent && entry.zombie();
    }));
}

bool process_alive(pid_t pid) {
    process_entry entry;
    return read_stat(pid, entry) && !entry.zombie();
}

bool figures_are_its_own(pid_t pid, std::string_view figure) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink(proc_dir(pid) / "exe", ec);
    const bool emulated = !ec && std::any_of(emulators().begin(), emulators().end(), [&](const emulator& e) {
        std::error_code canonical_ec;
        return fs::canonical(e.interpreter, canonical_ec) == exe;
    });
    if (emulated) std::cout << "[ EMULATED ] " << figure << " not checked: " << exe.string() << " runs the program\n";
    return !emulated;
}

resource_usage usage_of(pid_t pid) {
    resource_usage usage;
    std::istringstream status(read_file(proc_dir(pid) / "status"));
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) usage.rss_kib = std::stol(line.substr(6));
    usage.descriptors = entries_in(proc_dir(pid) / "fd");
    usage.threads = entries_in(proc_dir(pid) / "task");
    if (const auto fields = stat_fields(pid); fields.size() > SYSTEM_TIME_FIELD)
        usage.cpu_ticks = std::stol(fields[USER_TIME_FIELD]) + std::stol(fields[SYSTEM_TIME_FIELD]);
    return usage;
}

resource_usage settled_usage_of(pid_t pid, std::chrono::milliseconds window) {
    resource_usage least = usage_of(pid);
    const auto deadline = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const resource_usage now = usage_of(pid);
        least.rss_kib = std::min(least.rss_kib, now.rss_kib);
        least.descriptors = std::min(least.descriptors, now.descriptors);
        least.threads = std::min(least.threads, now.threads);
    }
    return least;
}

long peak_rss_kib(pid_t pid, std::chrono::milliseconds window) {
    long peak = 0;
    for (const auto end = std::chrono::steady_clock::now() + window; std::chrono::steady_clock::now() < end;) {
        peak = std::max(peak, usage_of(pid).rss_kib);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return peak;
}

std::size_t occurrences(std::string_view text, std::string_view piece) {
    std::size_t found = 0;
    for (auto at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + 1)) ++found;
    return found;
}

std::vector<fs::path> files_containing(const fs::path& dir, std::string_view needle) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (it->is_regular_file(type_ec) && read_file(it->path()).find(needle) != std::string::npos)
            found.push_back(it->path());
    }
    return found;
}

// Only what other users can reach counts: a directory they cannot search hides its entries.
std::vector<fs::path> world_writable_entries(const fs::path& dir) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0 || S_ISLNK(info.st_mode)) continue;
        if ((info.st_mode & S_IWOTH) != 0) found.push_back(it->path());
        if (S_ISDIR(info.st_mode) && (info.st_mode & S_IXOTH) == 0) it.disable_recursion_pending();
    }
    return found;
}

std::vector<std::string> exposure_findings(const fs::path& app_dir, const std::vector<std::string>& syslog_lines,
                                           std::string_view key) {
    std::vector<std::string> findings;
    for (const auto& file : files_containing(app_dir, key)) findings.push_back("key in file " + file.string());
    for (const auto& line : syslog_lines)
        if (line.find(key) != std::string::npos) findings.push_back("key in system log: " + line);
    for (const auto& entry : world_writable_entries(app_dir)) findings.push_back("world-writable " + entry.string());
    struct stat info {};
    if (::stat(API_SOCKET.c_str(), &info) != 0 || (info.st_mode & 07777) != 0666)
        findings.push_back("API socket missing or not 0666");
    return findings;
}

nlohmann::json document_of(const http_reply& reply) { return nlohmann::json::parse(reply.body, nullptr, false); }

sim_record::sim_record() {
    char pattern[] = "/tmp/ovra-record-XXXXXX";
    ::close(::mkstemp(pattern));
    m_path = pattern;
}

sim_record::~sim_record() {
    std::error_code ignored;
    fs::remove(m_path, ignored);
}

std::vector<nlohmann::json> sim_record::lines() const {
    std::vector<nlohmann::json> parsed;
    std::istringstream text(read_file(m_path));
    for (std::string line; std::getline(text, line);) parsed.push_back(nlohmann::json::parse(line));
    return parsed;
}

std::size_t sim_record::invocations_with(std::string_view word) const {
    const auto holds_word = [word](const nlohmann::json& line) {
        const nlohmann::json argv = line.value("argv", nlohmann::json::array());
        return std::find(argv.begin(), argv.end(), word) != argv.end();
    };
    const std::vector<nlohmann::json> all = lines();
    return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), holds_word));
}

}  // namespace test_support

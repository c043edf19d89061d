// NetBird command lines, the environment of NetBird children, and the runner of one-off commands.

#include "application.hpp"
#include "line_reader.hpp"
#include "netbird_utils.hpp"
#include "process_utils.hpp"
#include "settings_table.hpp"

#include <boost/process/args.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <csignal>
#include <pwd.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

namespace bp = boost::process;
namespace fs = std::filesystem;

namespace {

constexpr auto SUPERVISION_PERIOD = std::chrono::milliseconds(100);
constexpr int EXIT_TIMED_OUT = 124;
constexpr int EXIT_NOT_RUN = 127;
constexpr std::string_view SECRET_FLAG = "--setup-key";
// What a command keeps of each of its two outputs. A status document is a single line, so one
// line may be as long; a large network's peer list fits.
constexpr line_limits COMMAND_OUTPUT_LIMITS{8 * 1024 * 1024, 8 * 1024 * 1024};

// The command line as logged: the value after "--setup-key" never reaches a log.
std::string display_form(const std::vector<std::string>& args) {
    std::string shown;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) shown += ' ';
        shown += args[i];
        if (args[i] == SECRET_FLAG && i + 1 < args.size()) {
            shown += " <redacted>";
            ++i;
        }
    }
    return shown;
}

// One started command: its child and the readers of its two pipes. However the run is left, the
// child's process group is killed, the child reaped and both readers stopped, so nothing outlives
// it; a helper outside the group that still holds a pipe is left behind after a short grace.
struct command_run {
    bp::pipe stdout_pipe = process_utils::cloexec_pipe();
    bp::pipe stderr_pipe = process_utils::cloexec_pipe();
    bp::child child;
    std::string stdout_data;
    std::string stderr_data;
    line_reader stdout_reader;
    line_reader stderr_reader;

    ~command_run() {
        if (child.valid()) {
            try {
                process_utils::kill_group_and_reap(child);
            } catch (const std::exception&) {
                // Not reaped, so the pid is still this child's; the readers need it gone.
                ::kill(child.id(), SIGKILL);
            }
        }
        stop_readers();
    }

    // Every line is kept with a newline after it, also a last line the child left unterminated.
    void start_readers(const std::string& command) {
        stdout_reader.start(
            process_utils::take_read_end(stdout_pipe),
            [this](std::string& line) { stdout_data.append(line).push_back('\n'); }, "Output of " + command,
            COMMAND_OUTPUT_LIMITS);
        stderr_reader.start(
            process_utils::take_read_end(stderr_pipe),
            [this](std::string& line) { stderr_data.append(line).push_back('\n'); }, "Error output of " + command,
            COMMAND_OUTPUT_LIMITS);
    }

    void stop_readers() {
        stdout_reader.stop(process_utils::OUTPUT_GRACE);
        stderr_reader.stop(process_utils::OUTPUT_GRACE);
    }
};

// Waits for the child's end and returns its exit code: the exit status, the signal number if a
// signal ended it, or EXIT_TIMED_OUT once the limit passed. Teardown, or a command waiting for
// the lock that a status poll holds, kills it early. Whatever it left running in its process
// group is killed with it or after its end.
int supervise(bp::child& child, std::chrono::steady_clock::duration time_limit,
              const std::function<bool()>& cut_short) {
    const auto started = std::chrono::steady_clock::now();
    while (child.running()) {
        if (cut_short()) break;
        if (std::chrono::steady_clock::now() - started >= time_limit) {
            spdlog::error("Command timed out after {} seconds",
                          std::chrono::duration_cast<std::chrono::seconds>(time_limit).count());
            process_utils::kill_group_and_reap(child);
            return EXIT_TIMED_OUT;
        }
        std::this_thread::sleep_for(SUPERVISION_PERIOD);
    }
    process_utils::kill_group_and_reap(child);
    return child.exit_code();
}

// The name of the effective user, else the fallback. NetBird's `up` needs a user name, which a
// build without cgo finds only in /etc/passwd or in $USER.
std::string effective_user_name(const std::string& fallback) {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name[0] != '\0')
        return found->pw_name;
    return fallback;
}

}  // namespace

std::vector<std::string> application::base_args_cli() const {
    return {m_netbird_path.string(), "--log-file", m_log_path.string(), "--daemon-addr",
            "unix://" + m_socket_path.string()};
}

std::vector<std::string> application::base_args_service() const {
    return {m_netbird_path.string(), "--config",      m_config_path.string(),
            "--log-file",            "console," + m_log_path.string(),
            "--daemon-addr",         "unix://" + m_socket_path.string()};
}

std::vector<std::string> application::build_up_args(const form& fields) const {
    std::vector<std::string> args = base_args_cli();
    args.push_back("up");
    const auto append = [&args](const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
    };

    append(settings_table::up_args(saved_settings(), settings_table::reach::login));
    if (const auto lazy = fields.find("enable_lazy_connection"); lazy != fields.end())
        args.push_back(lazy->second == "true" ? "--enable-lazy-connection=true" : "--enable-lazy-connection=false");
    append(settings_table::up_args(saved_settings(), settings_table::reach::tunnel));
    return args;
}

std::string application::external_ip_map_note() const {
    const auto missing = settings_table::missing_map_interfaces(saved_settings());
    if (missing.empty()) return {};
    std::string names;
    for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
    const std::string note = "external_ip_map left out of up: interface " + names +
                             " is missing now; the client keeps the map it has";
    spdlog::warn("{}", note);
    return note + '\n';
}

// The SOCKS5 proxy that netstack mode would open on every address of the camera stays off.
std::vector<std::pair<std::string, std::string>> application::system_env() const {
    std::vector<std::pair<std::string, std::string>> env{
        {"NB_USE_NETSTACK_MODE", "true"},         {"NB_ENABLE_NETSTACK_LOCAL_FORWARDING", "true"},
        {"NB_NETSTACK_SKIP_PROXY", "true"},       {"NB_LOG_MAX_SIZE_MB", "5"},
        {"HOME", m_data_dir.string()},            {"XDG_CONFIG_HOME", m_data_dir.string()},
        {"NB_STATE_DIR", m_data_dir.string()}};
    if (const char* user = std::getenv("USER"); user == nullptr || *user == '\0')
        env.emplace_back("USER", effective_user_name(m_app_name));
    return env;
}

std::map<std::string, std::string> application::build_command_env() const {
    std::map<std::string, std::string> env;
    for (auto& [name, value] : system_env()) env[name] = std::move(value);
    std::lock_guard lock(m_env_mutex);
    for (const auto& [name, value] : m_env_overrides) env[name] = value;
    return env;
}

std::unique_lock<std::mutex> application::lock_for_command() {
    m_command_waiting = true;
    std::unique_lock lock(m_command_mutex);
    m_command_waiting = false;
    return lock;
}

command_result application::run_command(const std::vector<std::string>& args, bool quiet) const {
    return run_command(args, quiet, COMMAND_TIMEOUT);
}

command_result application::run_command(const std::vector<std::string>& args, bool quiet,
                                         clock::duration time_limit) const {
    try {
        // The throwing form: a path whose status cannot be read at all fails the run below.
        if (!fs::exists(m_netbird_path)) return {EXIT_NOT_RUN, "", "VPN CLI not found"};
        const bp::environment env = process_utils::child_environment(build_command_env());
        if (!quiet) spdlog::info("Running command: {}", display_form(args));

        const std::string& executable = args.at(0);
        command_run run;
        run.child = process_utils::start_child(bp::exe = executable,
                                               bp::args = std::vector<std::string>(args.begin() + 1, args.end()),
                                               bp::std_out > run.stdout_pipe, bp::std_err > run.stderr_pipe, env);
        run.start_readers(display_form(args));
        const int exit_code =
            supervise(run.child, time_limit, [this] { return stopping() || m_command_waiting.load(); });
        run.stop_readers();
        return {exit_code, std::move(run.stdout_data), std::move(run.stderr_data)};
    } catch (const std::exception& e) {
        return {EXIT_NOT_RUN, "", std::string("process failed: ") + e.what()};
    }
}

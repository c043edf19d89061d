// NetBird client simulator: command-line parsing, the NB_SIM_RECORD log, and the one-off
// commands (status, up, down, deregister, debug bundle, version), which talk to the service over
// the daemon socket: one JSON request line, one JSON reply line.
#include "sim.hpp"

#include <fcntl.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

extern char** environ;

namespace sim {
namespace {

struct usage_error {
    std::string message;
};

const std::map<std::string, std::string> SHORT_FLAGS = {
    {"c", "config"},   {"l", "log-level"}, {"m", "management-url"}, {"k", "setup-key"}, {"p", "preshared-key"},
    {"n", "hostname"}, {"A", "anonymize"}, {"h", "help"},           {"d", "detail"},    {"S", "system-info"},
};
// Flags valid for every command (the real client's persistent flags) and per command.
const std::set<std::string> GLOBAL_VALUE_FLAGS = {"config",    "log-file",      "daemon-addr", "log-level",
                                                  "management-url", "admin-url", "setup-key", "setup-key-file",
                                                  "preshared-key",  "hostname"};
const std::set<std::string> GLOBAL_BOOL_FLAGS = {"anonymize", "help"};
const std::map<std::string, std::set<std::string>> COMMAND_VALUE_FLAGS = {
    {"up", {"wireguard-port", "mtu", "interface-name", "external-ip-map", "profile"}},
    {"debug bundle", {"upload-bundle-url"}},
};
const std::map<std::string, std::set<std::string>> COMMAND_BOOL_FLAGS = {
    {"status", {"json", "detail"}},
    {"up", {"enable-lazy-connection", "disable-auto-connect", "foreground-mode"}},
    {"debug bundle", {"upload-bundle", "system-info"}},
    {"service run", {"disable-update-settings", "enable-capture", "disable-profiles", "disable-networks"}},
};
// StringSlice flags: a value read from the environment is added to the list.
const std::set<std::string> LIST_FLAGS = {"log-file", "external-ip-map"};
const std::set<std::string> UINT16_FLAGS = {"wireguard-port", "mtu"};
const std::set<std::string> COMMANDS = {"service run", "status", "up", "down", "deregister", "debug bundle", "version"};

bool is_flag_of(const std::map<std::string, std::set<std::string>>& table, const std::string& command,
                const std::string& flag) {
    auto it = table.find(command);
    return it != table.end() && it->second.count(flag) != 0;
}

bool any_command_has(const std::map<std::string, std::set<std::string>>& table, const std::string& flag) {
    return std::any_of(table.begin(), table.end(), [&](const auto& e) { return e.second.count(flag) != 0; });
}

std::optional<bool> parse_go_bool(const std::string& v) {
    if (v == "1" || v == "t" || v == "T" || v == "true" || v == "TRUE" || v == "True") return true;
    if (v == "0" || v == "f" || v == "F" || v == "false" || v == "FALSE" || v == "False") return false;
    return std::nullopt;
}

bool is_uint16(const std::string& v) {
    bool digits = !v.empty() && v.size() <= 5 && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits && std::stol(v) <= 65535;
}

void check_uint16(const options& o, const std::string& flag) {
    if (!o.has(flag)) return;
    std::string v = o.get(flag);
    if (!is_uint16(v))
        throw usage_error{"invalid argument \"" + v + "\" for \"--" + flag + "\" flag: strconv.ParseUint: parsing \"" + v +
                          "\": invalid syntax"};
}

std::string env_name(const char* prefix, const std::string& flag) {
    std::string name = prefix;
    for (char c : flag) name += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// SetFlagsFromEnvVars: after the command line, WT_<FLAG> and then NB_<FLAG> set each flag the
// command has. A string flag takes the value, a list flag adds it; a value the flag cannot parse
// is ignored (NetBird only logs it).
void apply_env_flags(options& o, const std::string& command) {
    std::vector<std::string> names(GLOBAL_VALUE_FLAGS.begin(), GLOBAL_VALUE_FLAGS.end());
    names.insert(names.end(), GLOBAL_BOOL_FLAGS.begin(), GLOBAL_BOOL_FLAGS.end());
    for (const auto* table : {&COMMAND_VALUE_FLAGS, &COMMAND_BOOL_FLAGS})
        if (auto it = table->find(command); it != table->end()) names.insert(names.end(), it->second.begin(), it->second.end());
    for (const std::string& flag : names) {
        if (flag == "help") continue;
        for (const char* prefix : {"WT_", "NB_"}) {
            const char* value = std::getenv(env_name(prefix, flag).c_str());
            if (value == nullptr) continue;
            std::string v = value;
            bool is_bool = GLOBAL_BOOL_FLAGS.count(flag) || is_flag_of(COMMAND_BOOL_FLAGS, command, flag);
            if (is_bool) {
                if (auto b = parse_go_bool(v)) o.flags[flag] = *b ? "true" : "false";
            } else if (UINT16_FLAGS.count(flag)) {
                if (is_uint16(v)) o.flags[flag] = v;
            } else if (LIST_FLAGS.count(flag) && o.has(flag) && !o.get(flag).empty()) {
                if (!v.empty()) o.flags[flag] += "," + v;
            } else {
                o.flags[flag] = v;
            }
        }
    }
}

options parse(int argc, char** argv) {
    options o;
    o.argv.assign(argv, argv + argc);
    for (size_t i = 1; i < o.argv.size(); ++i) {
        const std::string& arg = o.argv[i];
        if (arg == "--") {
            o.words.insert(o.words.end(), o.argv.begin() + static_cast<long>(i) + 1, o.argv.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            o.words.push_back(arg);
            continue;
        }
        std::string body = arg.substr(arg[1] == '-' ? 2 : 1);
        std::optional<std::string> inline_value;
        if (auto eq = body.find('='); eq != std::string::npos) {
            inline_value = body.substr(eq + 1);
            body = body.substr(0, eq);
        }
        std::string name = body;
        if (arg[1] != '-') {
            auto it = SHORT_FLAGS.find(body);
            if (it == SHORT_FLAGS.end()) throw usage_error{"unknown shorthand flag: '" + body + "' in " + arg};
            name = it->second;
        }
        bool is_value = GLOBAL_VALUE_FLAGS.count(name) || any_command_has(COMMAND_VALUE_FLAGS, name);
        bool is_bool = GLOBAL_BOOL_FLAGS.count(name) || any_command_has(COMMAND_BOOL_FLAGS, name);
        if (!is_value && !is_bool) throw usage_error{"unknown flag: --" + name};
        if (is_value) {
            if (!inline_value) {
                if (i + 1 >= o.argv.size()) throw usage_error{"flag needs an argument: --" + name};
                inline_value = o.argv[++i];   // may be empty, e.g. --external-ip-map ""
            }
            o.flags[name] = *inline_value;
        } else {
            auto b = parse_go_bool(inline_value.value_or("true"));
            if (!b)
                throw usage_error{"invalid argument \"" + *inline_value + "\" for \"--" + name +
                                  "\" flag: strconv.ParseBool: parsing \"" + *inline_value + "\": invalid syntax"};
            o.flags[name] = *b ? "true" : "false";
        }
    }
    if (o.has("help")) return o;

    std::string command;
    for (const auto& w : o.words) command += (command.empty() ? "" : " ") + w;
    if (command.empty()) throw usage_error{"no command given; try \"netbird status\""};
    if (!COMMANDS.count(command)) throw usage_error{"unknown command \"" + command + "\" for \"netbird\""};
    for (const auto& [name, value] : o.flags) {
        bool ok = GLOBAL_VALUE_FLAGS.count(name) || GLOBAL_BOOL_FLAGS.count(name) ||
                  is_flag_of(COMMAND_VALUE_FLAGS, command, name) || is_flag_of(COMMAND_BOOL_FLAGS, command, name);
        if (!ok) throw usage_error{"unknown flag: --" + name};
    }
    check_uint16(o, "wireguard-port");
    check_uint16(o, "mtu");
    apply_env_flags(o, command);
    o.command = command;
    if (o.has("management-url")) {
        std::string url = o.get("management-url");
        auto scheme = url.find("://");
        std::string s = scheme == std::string::npos ? "" : url.substr(0, scheme);
        if ((s != "http" && s != "https") || url.size() == scheme + 3)
            throw usage_error{"invalid management URL \"" + url + "\": expected http:// or https:// and a host"};
    }

    o.config_path = o.get("config");
    o.log_targets = o.get("log-file");
    std::string addr = o.has("daemon-addr") ? o.get("daemon-addr") : "unix:///var/run/netbird.sock";
    if (addr.rfind("unix://", 0) != 0) throw usage_error{"unsupported daemon address \"" + addr + "\" (the simulator speaks unix:// only)"};
    o.socket_path = addr.substr(7);
    return o;
}

std::string find_arg_value(const std::vector<std::string>& args, const std::string& flag) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == flag && i + 1 < args.size()) return args[i + 1];
        if (args[i].rfind(flag + "=", 0) == 0) return args[i].substr(flag.size() + 1);
    }
    return {};
}

// NB_SIM_RECORD: one JSON line per invocation, for tests to see what the daemon passed.
void record_invocation(int argc, char** argv) {
    std::string path = env_str("NB_SIM_RECORD");
    if (path.empty()) return;
    std::vector<std::string> args(argv, argv + argc);
    json entry = {{"argv", args}};
    std::string key_file = find_arg_value(args, "--setup-key-file");
    if (!key_file.empty()) {
        struct stat st{};
        char mode[16] = "";
        if (::stat(key_file.c_str(), &st) == 0) std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
        std::ifstream in(key_file, std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        entry["key_file_mode"] = mode;
        entry["key_file_content"] = content;
    }
    json env = json::object();
    for (char** e = environ; *e; ++e) {
        std::string var = *e;
        auto eq = var.find('=');
        std::string name = var.substr(0, eq);
        if (name.rfind("NB_", 0) == 0 || name.rfind("WT_", 0) == 0 || name == "HOME" || name == "XDG_CONFIG_HOME" ||
            name == "TMPDIR" || name == "USER")
            env[name] = eq == std::string::npos ? "" : var.substr(eq + 1);
    }
    entry["env"] = env;
    entry["pid"] = ::getpid();
    append_record(entry);
}

// NB_SIM_HELPER_SECONDS: a helper left behind, like `sleep N &` in a shell script, that holds this
// process's standard output and error (and nothing else) until it ends. With
// NB_SIM_HELPER_DETACHED it also leaves the process group, so only its own end closes them.
void leave_helper() {
    const long seconds = env_long("NB_SIM_HELPER_SECONDS", 0);
    if (seconds <= 0) return;
    const bool detached = env_flag("NB_SIM_HELPER_DETACHED");
    if (::fork() != 0) return;
    ::close_range(3, ~0U, 0);
    if (detached) ::setsid();
    const std::string duration = std::to_string(seconds);
    ::execlp("sleep", "sleep", duration.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
}

bool hang_requested(const std::string& command) {
    std::stringstream list(env_str("NB_SIM_HANG"));
    std::string item;
    std::string first = command.substr(0, command.find(' '));
    while (std::getline(list, item, ','))
        if (item == first || item == command || item == "all") return true;
    return false;
}

// Writes both texts to standard output and standard error in alternating 64 KiB chunks, so that
// a parent that drains only one pipe at a time deadlocks, as it would with the real client.
void write_interleaved(const std::string& out, const std::string& err) {
    const size_t chunk = 64 * 1024;
    for (size_t pos = 0; pos < out.size() || pos < err.size(); pos += chunk) {
        if (pos < out.size()) write_all(STDOUT_FILENO, std::string_view(out).substr(pos, chunk));
        if (pos < err.size()) write_all(STDERR_FILENO, std::string_view(err).substr(pos, chunk));
    }
}

int print_status(const options& o, const json& status) {
    std::string mode = env_str("NB_SIM_STATUS");
    const std::string state = status.value("daemonStatus", std::string());
    if (!o.has("json") && (state == "NeedsLogin" || state == "LoginFailed" || state == "SessionExpired")) {
        std::printf("Daemon status: %s\n\nRun UP command to log in with SSO (interactive login):\n\n netbird up \n\n",
                    state.c_str());
        return 0;
    }
    if (!o.has("json") || mode == "nonjson") {
        std::string text = status_text(status);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    auto dump = [](const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); };
    if (mode == "trailing") {
        std::printf("%s\n{garbage after the document: unexpected EOF\n", dump(status).c_str());
    } else if (mode == "huge") {
        const size_t target = 5 * 1024 * 1024;
        json doc = status;
        std::string event_time = rfc3339(std::chrono::system_clock::now());
        json& events = doc["events"];
        size_t size = dump(doc).size();
        for (size_t i = 0; size < target; ++i) {
            json event = {{"id", std::to_string(i)},
                          {"severity", "INFO"},
                          {"category", "NETWORK"},
                          {"message", "simulated event " + std::to_string(i) + " for a huge status output"},
                          {"userMessage", ""},
                          {"timestamp", event_time},
                          {"metadata", json::object()}};
            size += dump(event).size() + 1;
            events.push_back(std::move(event));
        }
        std::string err;
        for (size_t i = 0; err.size() < target; ++i)
            err += event_time + " WARN client/cmd/status.go:99: simulated noise line " + std::to_string(i) +
                   " {\"huge\":true}\n";
        std::fflush(stdout);
        write_interleaved(dump(doc), err);
    } else if (mode == "flood") {
        std::fflush(stdout);
        write_all(STDOUT_FILENO, R"({"events":[")");
        write_flood(STDOUT_FILENO, env_long("NB_SIM_FLOOD_MIB", 200), 'x');
        write_all(STDOUT_FILENO, R"("]})");
    } else {
        std::fputs(dump(status).c_str(), stdout);   // Go's cmd.Print: no final newline
    }
    return 0;
}

// getSetupKey: --setup-key wins; otherwise the file's content with the blanks at its ends trimmed
// (an empty file gives no key).
std::string setup_key(const options& o) {
    if (!o.get("setup-key").empty() || o.get("setup-key-file").empty()) return o.get("setup-key");
    const std::string path = o.get("setup-key-file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw usage_error{"daemon up failed: get setup key: failed to read setup key file: open " + path + ": " +
                          std::strerror(errno)};
    std::string key((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto first = key.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    return key.substr(first, key.find_last_not_of(" \t\r\n\v\f") - first + 1);
}

bool is_ip(const std::string& text) {
    unsigned char buf[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, text.c_str(), buf) == 1 || ::inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

// validateNATExternalIPs (client/cmd/up.go): every element an address, or two parts each an
// address or the name of an existing interface, not both names.
void validate_external_ip_map(const std::string& list) {
    if (list.empty()) return;
    const std::string flag = "external-ip-map";
    std::stringstream elements(list + ",");
    std::string element;
    while (std::getline(elements, element, ',')) {
        if (element.empty()) throw usage_error{"empty string is not a valid input for " + flag};
        std::vector<std::string> parts;
        std::stringstream split(element + "/");
        for (std::string part; std::getline(split, part, '/');) parts.push_back(part);
        if (parts.size() > 2)
            throw usage_error{element + " is not a valid input for " + flag +
                              ". it should be formatted as \"String\" or \"String/String\""};
        if (parts.size() == 1 && !is_ip(parts[0]))
            throw usage_error{element + " is not a valid input for " + flag +
                              ". it should be formatted as \"IP\" or \"IP/IP\", or \"IP/Interface Name\""};
        bool last_was_interface = false;
        for (const std::string& part : parts) {
            const bool interface = !is_ip(part);
            if (interface && ::if_nametoindex(part.c_str()) == 0)
                throw usage_error{part + " is not a valid input for " + flag + ". it should be an IP string or a network name"};
            if (interface && last_was_interface)
                throw usage_error{element + " is not a valid input for " + flag + ". it should not contain two interface names"};
            last_was_interface = interface;
        }
    }
}

// Sends one request to the service; returns its reply or throws usage_error with the message.
// The dial blocks and retries like gRPC's WithBlock, for 10 s unless NB_SIM_CONNECT_WAIT_MS says
// otherwise.
json call_service(const options& o, const json& request) {
    long wait_ms = env_long("NB_SIM_CONNECT_WAIT_MS", 10000);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    std::string error;
    int fd;
    while ((fd = connect_unix(o.socket_path, error)) < 0) {
        if (std::chrono::steady_clock::now() >= deadline) throw usage_error{dial_error(o.command, "context deadline exceeded")};
        sleep_ms(50);
    }
    std::string line;
    bool ok = write_all(fd, request.dump() + "\n") && read_line(fd, line);
    ::close(fd);
    if (!ok) throw usage_error{"rpc error: code = Unavailable desc = error reading from server: EOF"};
    json reply = json::parse(line, nullptr, false);
    if (!reply.is_object()) throw usage_error{"rpc error: code = Internal desc = malformed reply from daemon"};
    if (!reply.value("ok", false)) throw usage_error{reply.value("error", std::string("unknown error"))};
    return reply;
}

[[noreturn]] void wait_until_killed() {
    std::fflush(stdout);
    for (;;) ::pause();
}

// The up flags that were given, as the SetConfig request carries them.
json set_config_request(const options& o) {
    json request = {{"cmd", "set-config"}};
    if (o.has("management-url")) request["management_url"] = o.get("management-url");
    if (o.has("wireguard-port")) request["wireguard_port"] = std::stoi(o.get("wireguard-port"));
    if (o.has("mtu")) request["mtu"] = std::stoi(o.get("mtu"));
    if (o.has("interface-name")) request["interface_name"] = o.get("interface-name");
    if (o.has("external-ip-map")) request["external_ip_map"] = o.get("external-ip-map");
    if (o.has("enable-lazy-connection")) request["lazy_connection"] = o.get("enable-lazy-connection") == "true";
    if (o.has("disable-auto-connect")) request["disable_auto_connect"] = o.get("disable-auto-connect") == "true";
    return request;
}

// upFunc and runInDaemonMode (client/cmd/up.go).
int run_up(const options& o) {
    validate_external_ip_map(o.get("external-ip-map"));
    if (!o.get("profile").empty() && o.get("profile") != "default")
        throw usage_error{"switch profile: profile " + o.get("profile") + " does not exist"};
    if (o.get("foreground-mode") == "true") wait_until_killed();   // runs the engine in this process

    json status = call_service(o, {{"cmd", "status"}});
    if (status.value("retrying", false)) wait_until_killed();   // WaitForReady has no deadline
    if (status["status"].value("daemonStatus", std::string()) == "Connected") {
        std::printf("Already connected\n");   // nothing of this command line is applied
        return 0;
    }
    try {
        call_service(o, set_config_request(o));
    } catch (const usage_error& e) {
        if (!is_unavailable_error(e.message)) throw;
        log_line("console", "WARN", "client/cmd/up.go:267", "setConfig method is not available in the daemon");
    }
    const std::string key = setup_key(o);
    if (env_flag("NB_SIM_UP_FAIL"))
        throw usage_error{"daemon up failed: login failed: rpc error: code = Unknown desc = simulated failure (NB_SIM_UP_FAIL)"};
    if (env_flag("NB_SIM_MANAGEMENT_SLOW")) {
        sleep_ms(30000);   // the login back-off gives up after 30 s ...
        sleep_ms(50000);   // ... and the wait for the engine after 50 s
        throw usage_error{"daemon up failed: call service up method: rpc error: code = DeadlineExceeded desc = "
                          "context deadline exceeded"};
    }
    json reply = call_service(o, {{"cmd", "up"}, {"setup_key", key}});
    if (reply.value("needs_sso", false)) {
        std::printf("Please do the SSO login in your browser. \nIf your browser didn't open automatically, use this "
                    "URL to log in:\n\nhttps://login.netbird.io/activate?user_code=SIMU-LATE \n\n");
        wait_until_killed();   // WaitSSOLogin: no time limit of its own
    }
    std::printf("Connected\n");
    return 0;
}

int run_command(const options& o) {
    const std::string& command = o.command;
    if (hang_requested(command)) wait_until_killed();
    sleep_ms(env_long("NB_SIM_DELAY_MS", 0));

    const bool checks_log_level = command == "status" || command == "up" || command == "down";
    if (checks_log_level && o.has("log-level") && !is_valid_log_level(o.get("log-level")))
        throw usage_error{"failed initializing log failed parsing log-level " + o.get("log-level") +
                          ": not a valid logrus Level: \"" + o.get("log-level") + "\""};

    bool management_down = env_flag("NB_SIM_MANAGEMENT_DOWN");
    if (command == "status") {
        json reply = call_service(o, {{"cmd", "status"}, {"full", true}, {"management_down", management_down}});
        return print_status(o, reply["status"]);
    }
    if (command == "up") return run_up(o);
    if (command == "down") {
        call_service(o, {{"cmd", "down"}});
        std::printf("Disconnected\n");
        return 0;
    }
    if (command == "deregister") {
        call_service(o, {{"cmd", "deregister"}});
        std::printf("Deregistered successfully\n");
        return 0;
    }
    if (command == "debug bundle") {
        json reply = call_service(o, {{"cmd", "debug-bundle"},
                                      {"anonymize", o.get("anonymize") == "true"},
                                      {"upload", o.get("upload-bundle") == "true"},
                                      {"management_down", management_down}});
        std::printf("Local file:\n%s\n", reply.value("path", std::string()).c_str());
        if (reply.contains("upload_key")) std::printf("Upload file key:\n%s\n", reply["upload_key"].get<std::string>().c_str());
        return 0;
    }
    throw usage_error{"unknown command \"" + command + "\" for \"netbird\""};
}

const char* const USAGE =
    "NetBird client simulator " SIM_NETBIRD_VERSION " (test tool, see sim/README.md)\n"
    "Usage: netbird [--config PATH] [--log-file TARGETS] [--daemon-addr unix://PATH] COMMAND\n"
    "Commands: service run | status [--json] | up [...] | down | deregister | debug bundle [--upload-bundle] "
    "[--anonymize] | version\n";

}  // namespace
}  // namespace sim

int main(int argc, char** argv) {
    using namespace sim;
    std::signal(SIGPIPE, SIG_IGN);
    record_invocation(argc, argv);
    leave_helper();
    options o;
    try {
        o = parse(argc, argv);
    } catch (const usage_error& e) {
        std::fprintf(stderr, "Error: %s\n", e.message.c_str());
        return 1;
    }
    if (o.has("help")) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (o.command == "service run") return run_service(o);
    if (o.command == "version") {
        std::printf("%s\n", VERSION);
        return 0;
    }
    // One-off commands log to the console only; they never write to the --log-file targets.
    try {
        return run_command(o);
    } catch (const usage_error& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", e.message.c_str());
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", e.what());
    }
    return 1;
}

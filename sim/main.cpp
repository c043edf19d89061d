// NetBird client simulator: command-line parsing, the NB_SIM_RECORD log, and the one-off
// commands (status, up, down, deregister, debug bundle, version), which talk to the service over
// the daemon socket: one JSON request line, one JSON reply line.
#include "sim.hpp"

#include <fcntl.h>
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
    {"up", {"wireguard-port", "mtu", "interface-name", "external-ip-map"}},
    {"debug bundle", {"upload-bundle-url"}},
};
const std::map<std::string, std::set<std::string>> COMMAND_BOOL_FLAGS = {
    {"status", {"json", "detail"}},
    {"up", {"enable-lazy-connection", "disable-auto-connect", "foreground-mode"}},
    {"debug bundle", {"upload-bundle", "system-info"}},
};
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

void check_uint16(const options& o, const std::string& flag) {
    if (!o.has(flag)) return;
    std::string v = o.get(flag);
    bool digits = !v.empty() && v.size() <= 5 && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stol(v) > 65535)
        throw usage_error{"invalid argument \"" + v + "\" for \"--" + flag + "\" flag: strconv.ParseUint: parsing \"" +
                          v + "\": " + (digits ? "value out of range" : "invalid syntax")};
}

options parse(int argc, char** argv) {
    options o;
    o.argv.assign(argv, argv + argc);
    std::set<std::string> bool_flags;
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
            bool_flags.insert(name);
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
    if (o.has("management-url")) {
        std::string url = o.get("management-url");
        auto scheme = url.find("://");
        std::string s = scheme == std::string::npos ? "" : url.substr(0, scheme);
        if ((s != "http" && s != "https") || url.size() == scheme + 3)
            throw usage_error{"invalid management URL \"" + url + "\": expected http:// or https:// and a host"};
    }

    o.config_path = o.get("config");
    o.log_spec = o.get("log-file");
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
        if (name.rfind("NB_", 0) == 0 || name == "HOME" || name == "XDG_CONFIG_HOME" || name == "TMPDIR")
            env[name] = eq == std::string::npos ? "" : var.substr(eq + 1);
    }
    entry["env"] = env;
    entry["pid"] = ::getpid();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, entry.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    ::close(fd);
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
        std::string event_time = now_rfc3339_seconds();
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
        write_interleaved(dump(doc) + "\n", err);
    } else {
        std::printf("%s\n", dump(status).c_str());
    }
    return 0;
}

std::string read_setup_key(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw usage_error{"failed to read setup key file: open " + path + ": " + std::strerror(errno)};
    std::string key((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto first = key.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) throw usage_error{"setup key file " + path + " is empty"};
    key = key.substr(first, key.find_last_not_of(" \t\r\n") - first + 1);
    return key;
}

// Sends one request to the service; returns its reply or throws usage_error with the message.
json call_service(const options& o, const json& request) {
    long wait_ms = env_long("NB_SIM_CONNECT_WAIT_MS", 1000);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    std::string error;
    int fd;
    while ((fd = connect_unix(o.socket_path, error)) < 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw usage_error{"failed to connect to daemon error: " + error +
                              "\nIf the daemon is not running please run: \nnetbird service install \nnetbird service start"};
        sleep_ms(50);
    }
    timeval timeout{50, 0};   // below the daemon's 60 s command limit
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string line;
    bool ok = write_all(fd, request.dump() + "\n") && read_line(fd, line);
    ::close(fd);
    if (!ok) throw usage_error{"rpc error: code = Unavailable desc = error reading from server: EOF"};
    json reply = json::parse(line, nullptr, false);
    if (!reply.is_object()) throw usage_error{"rpc error: code = Internal desc = malformed reply from daemon"};
    if (!reply.value("ok", false)) throw usage_error{reply.value("error", std::string("unknown error"))};
    return reply;
}

int run_command(const options& o, const std::string& command) {
    if (hang_requested(command))
        for (;;) ::pause();   // until killed
    sleep_ms(env_long("NB_SIM_DELAY_MS", 0));

    bool management_down = env_flag("NB_SIM_MANAGEMENT_DOWN");
    if (command == "status") {
        json reply = call_service(o, {{"cmd", "status"}, {"management_down", management_down}});
        return print_status(o, reply["status"]);
    }
    if (command == "up") {
        json request = {{"cmd", "up"}};
        if (o.has("setup-key-file")) request["setup_key"] = read_setup_key(o.get("setup-key-file"));
        else if (o.has("setup-key")) request["setup_key"] = o.get("setup-key");
        if (env_flag("NB_SIM_UP_FAIL"))
            throw usage_error{"up failed: rpc error: code = Unknown desc = simulated failure (NB_SIM_UP_FAIL)"};
        if (o.has("management-url")) request["management_url"] = o.get("management-url");
        if (o.has("wireguard-port")) request["wireguard_port"] = std::stoi(o.get("wireguard-port"));
        if (o.has("mtu")) request["mtu"] = std::stoi(o.get("mtu"));
        if (o.has("interface-name")) request["interface_name"] = o.get("interface-name");
        if (o.has("external-ip-map")) request["external_ip_map"] = o.get("external-ip-map");
        if (o.has("enable-lazy-connection")) request["lazy_connection"] = o.get("enable-lazy-connection") == "true";
        call_service(o, request);
        std::printf("Connected\n");
        return 0;
    }
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
        std::string tmpdir = env_str("TMPDIR");
        json reply = call_service(o, {{"cmd", "debug-bundle"},
                                      {"anonymize", o.get("anonymize") == "true"},
                                      {"upload", o.get("upload-bundle") == "true"},
                                      {"tmpdir", tmpdir.empty() ? "/tmp" : tmpdir},
                                      {"management_down", management_down}});
        std::printf("Local file:\n%s\n", reply.value("path", std::string()).c_str());
        if (reply.contains("upload_key")) std::printf("Upload file key:\n%s\n", reply["upload_key"].get<std::string>().c_str());
        return 0;
    }
    throw usage_error{"unknown command \"" + command + "\" for \"netbird\""};
}

const char* const USAGE =
    "NetBird client simulator " "0.72.4" " (test tool, see sim/README.md)\n"
    "Usage: netbird [--config PATH] [--log-file SPEC] [--daemon-addr unix://PATH] COMMAND\n"
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
    std::string command;
    for (const auto& w : o.words) command += (command.empty() ? "" : " ") + w;
    if (command == "service run") return run_service(o);
    if (command == "version") {
        std::printf("%s\n", VERSION);
        return 0;
    }

    int code = 0;
    std::string error;
    try {
        code = run_command(o, command);
    } catch (const usage_error& e) {
        error = e.message;
        code = 1;
    } catch (const std::exception& e) {
        error = e.what();
        code = 1;
    }
    std::fflush(stdout);
    if (!error.empty()) std::fprintf(stderr, "Error: %s\n", error.c_str());
    // The one-off command's own line in the client log.
    std::string first_line = error.substr(0, error.find('\n'));
    json fields = {{"command", command}, {"exit", code}};
    if (!error.empty()) fields["error"] = first_line;
    log_line(o.log_spec, code == 0 ? "INFO" : "ERROR",
             "client/cmd/root.go:210: command finished " + fields.dump(-1, ' ', false, json::error_handler_t::replace));
    return code;
}

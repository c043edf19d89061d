// `service run`: the simulated NetBird daemon. Listens on the daemon socket and answers one JSON
// request line per connection with one JSON reply line. It keeps its configuration in memory,
// read from (or created in) the --config file at start and written back on every change, and the
// connection state in memory. Whether the management server knows the peer is kept in the config
// as "SimRegistered", the simulator's stand-in for the management server's peer list.
#include "sim.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace sim {
namespace {

namespace fs = std::filesystem;
using clock = std::chrono::system_clock;

const char* const DEFAULT_MANAGEMENT_URL = "https://api.netbird.io:443";
const char* const REGISTERED = "SimRegistered";
const char* const MANAGEMENT_UNREACHABLE =
    "rpc error: code = Unavailable desc = connection error: desc = \"transport: Error while dialing: dial tcp: i/o "
    "timeout\"";
constexpr auto PROBE_CACHE_TTL = std::chrono::seconds(20);

json error_reply(const std::string& message) { return json{{"ok", false}, {"error", message}}; }
json ok_reply() { return json{{"ok", true}}; }

// A fresh configuration, as profilemanager writes one when the file is missing.
json new_config() {
    std::string bytes;
    std::string hex = random_hex(32);
    for (size_t i = 0; i < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return json{{"PrivateKey", base64(bytes)},
                {"PreSharedKey", ""},
                {"ManagementURL", DEFAULT_MANAGEMENT_URL},
                {"AdminURL", "https://app.netbird.io:443"},
                {"WgIface", "wt0"},
                {"WgPort", 51820},
                {"MTU", 1280},
                {"NATExternalIPs", nullptr},
                {"DisableAutoConnect", false},
                {"LazyConnectionEnabled", false},
                {REGISTERED, false}};
}

class service {
public:
    explicit service(const options& opts)
        : m_opts(opts),
          m_socket_path(opts.socket_path),
          m_management_down(env_flag("NB_SIM_MANAGEMENT_DOWN")),
          m_management_slow(env_flag("NB_SIM_MANAGEMENT_SLOW")) {}

    int run();

private:
    void info(const std::string& source, const std::string& message) const {
        log_line(m_opts.log_targets, "INFO", source, message);
    }
    void fatal(const std::string& message) const;
    bool listen_on_socket(int& listener);
    bool start_client();
    void retry_connecting(std::string error);
    json handle_status(const json& request);
    void run_health_probes();
    void serve(int fd);
    json handle(const json& request);
    json handle_set_config(const json& request);
    json handle_up(const json& request);
    json handle_deregister();
    json handle_bundle(const json& request);
    json status_document(bool management_down) const;
    bool registered() const { return m_config.value(REGISTERED, false); }
    bool save_config(std::string& error) const;
    std::string log_file() const;   // the file target of --log-file, if any
    void connect();
    void stop_on_signal(const sigset_t& signals);

    const options& m_opts;
    std::string m_socket_path;
    const bool m_management_down;
    const bool m_management_slow;
    std::mutex m_mutex;             // guards the state below and config.json
    json m_config;
    std::string m_state = "Idle";   // daemonStatus
    bool m_up = false;              // the engine runs and is connected
    bool m_retrying = false;        // the client keeps trying to connect (management does not answer)
    std::string m_retry_error;      // the state's error between two connection attempts
    bool m_between_attempts = false;
    clock::time_point m_connected_at = clock::now();
    std::optional<clock::time_point> m_last_probe;
};

void service::fatal(const std::string& message) const {
    log_line(m_opts.log_targets, "ERRO", "client/cmd/service_controller.go:58", message);
    if (m_opts.log_targets.find("console") == std::string::npos) std::fprintf(stderr, "Error: %s\n", message.c_str());
}

std::string service::log_file() const {
    std::stringstream list(m_opts.log_targets);
    std::string target;
    while (std::getline(list, target, ','))
        if (!target.empty() && target != "console" && target != "syslog") return target;
    return {};
}

bool service::save_config(std::string& error) const {
    std::string tmp = m_opts.config_path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << m_config.dump(2) << "\n";
        out.close();
        if (!out) {
            error = "failed to write config " + m_opts.config_path;
            ::unlink(tmp.c_str());
            return false;
        }
    }
    ::chmod(tmp.c_str(), 0600);
    if (std::rename(tmp.c_str(), m_opts.config_path.c_str()) != 0) {
        error = "failed to write config " + m_opts.config_path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void service::connect() {
    if (!m_up) m_connected_at = clock::now();
    if (!m_up) start_tunnel_device(m_opts.log_targets);
    m_up = true;
    m_retrying = false;
    m_state = "Connected";
    identity id = identity_of(m_config);
    info("client/internal/connect.go:270",
         "connected to management " + m_config.value("ManagementURL", std::string()) + ", ip " + id.netbird_ip);
}

// Server.Start: a config that was just created is not tried; an existing one is, unless
// auto-connect is off. An unregistered peer's login fails (NeedsLogin); when the management server
// cannot be reached, the client keeps retrying. A config that does not parse ends the service.
bool service::start_client() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::error_code ec;
    const bool existed = !m_opts.config_path.empty() && fs::exists(m_opts.config_path, ec);
    info("client/server/server.go:977", std::string("active profile config existed: ") + (existed ? "true" : "false"));
    if (existed) {
        std::ifstream in(m_opts.config_path);
        m_config = json::parse(in, nullptr, false);
        if (!m_config.is_object()) {
            const bool empty = fs::file_size(m_opts.config_path, ec) == 0;
            log_line(m_opts.log_targets, "FATL", "client/cmd/service_controller.go:66",
                     std::string("failed to start daemon: failed to get config: ") +
                         (empty ? "unexpected end of JSON input" : "invalid character looking for beginning of value"));
            return false;
        }
    } else {
        m_config = new_config();
        std::string error;
        if (!save_config(error)) fatal(error);
    }
    if (!existed) {
        log_line(m_opts.log_targets, "WARN", "client/server/server.go:207",
                 "not trying to connect when configuration was just created");
        m_state = "NeedsLogin";
    } else if (m_config.value("DisableAutoConnect", false)) {
        m_state = "Idle";
    } else if (m_management_slow) {
        retry_connecting("context deadline exceeded");
    } else if (!registered() && m_management_down) {
        retry_connecting(MANAGEMENT_UNREACHABLE);
    } else if (!registered()) {
        m_state = "NeedsLogin";
        log_line(m_opts.log_targets, "WARN", "client/server/server.go:290", "failed login: peer is not registered");
    } else {
        connect();
    }
    return true;
}

// The connect loop's back-off: each attempt sets Connecting, each failure leaves its error in the
// state, which fails a status call until the next attempt.
void service::retry_connecting(std::string error) {
    m_state = "Connecting";
    m_retrying = true;
    m_retry_error = std::move(error);
    log_line(m_opts.log_targets, "WARN", "client/internal/connect.go:253", "retrying connection: " + m_retry_error);
}

// Called with m_mutex held. The `status` command asks for the full status: the engine's health
// probes run then, whose STUN/TURN probe is logged at most once per result cache lifetime.
json service::handle_status(const json& request) {
    if (request.value("full", false)) {
        if (m_retrying) {
            m_between_attempts = !m_between_attempts;
            if (!m_between_attempts) return error_reply("status failed: " + m_retry_error);
        }
        if (m_up) run_health_probes();
    }
    json reply = ok_reply();
    reply["status"] = status_document(request.value("management_down", false));
    reply["retrying"] = m_retrying;
    return reply;
}

void service::run_health_probes() {
    const auto now = clock::now();
    if (m_last_probe && now - *m_last_probe < PROBE_CACHE_TTL) return;
    m_last_probe = now;
    info("client/internal/relay/relay.go:100", "started new probe for STUN, TURN servers");
}

json service::status_document(bool management_down) const {
    return build_status(m_config, m_state, m_up, m_management_down || management_down, m_connected_at);
}

json service::handle(const json& request) {
    std::string cmd = request.value("cmd", std::string());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (cmd == "status") return handle_status(request);
    if (cmd == "set-config") return handle_set_config(request);
    if (cmd == "up") return handle_up(request);
    if (cmd == "down") {   // succeeds whatever the state, and leaves the service Idle
        m_up = false;
        m_retrying = false;
        m_state = "Idle";
        info("client/server/server.go:896", "service is down");
        return ok_reply();
    }
    if (cmd == "deregister") return handle_deregister();
    if (cmd == "debug-bundle") return handle_bundle(request);
    return error_reply("rpc error: code = Unimplemented desc = unknown method " + cmd);
}

// Called with m_mutex held. SetConfig: the up flags that were given replace the stored values.
json service::handle_set_config(const json& request) {
    if (const auto refusal = set_config_refusal(m_opts)) return error_reply(*refusal);
    const std::pair<const char*, const char*> members[] = {
        {"management_url", "ManagementURL"}, {"interface_name", "WgIface"}, {"wireguard_port", "WgPort"},
        {"mtu", "MTU"}, {"lazy_connection", "LazyConnectionEnabled"}, {"disable_auto_connect", "DisableAutoConnect"}};
    for (const auto& [field, member] : members)
        if (request.contains(field)) m_config[member] = request[field];
    if (request.contains("external_ip_map")) {
        json ips = json::array();
        std::stringstream list(request["external_ip_map"].get<std::string>());
        std::string item;
        while (std::getline(list, item, ',')) ips.push_back(item);
        m_config["NATExternalIPs"] = ips.empty() ? json(nullptr) : ips;
    }
    std::string error;
    if (!save_config(error)) return error_reply("call service setConfig method: " + error);
    return ok_reply();
}

// Called with m_mutex held. Login then Up: a setup key registers the peer; without one, only a
// registered peer logs in, any other needs the SSO device login.
json service::handle_up(const json& request) {
    std::string key = request.value("setup_key", std::string());
    if (key.empty() && !registered()) {
        m_state = "NeedsLogin";
        json reply = ok_reply();
        reply["needs_sso"] = true;
        return reply;
    }
    if (!key.empty() && !registered()) {
        // Only a registration reads the key: a registered peer logs in without it.
        if (const std::string refused = uuid_parse_error(key); !refused.empty()) {
            const std::string error = "rpc error: code = InvalidArgument desc = invalid setup-key or no sso "
                                      "information provided, err: " + refused;
            log_line(m_opts.log_targets, "ERRO", "client/server/server.go:294", "failed login: " + error);
            m_state = "LoginFailed";
            return error_reply("daemon up failed: login failed: " + error);
        }
        m_config[REGISTERED] = true;
        std::string error;
        if (!save_config(error)) return error_reply("daemon up failed: " + error);
        info("client/internal/auth/auth.go:190", "peer has been successfully registered on Management Service");
    }
    connect();
    return ok_reply();
}

// Called with m_mutex held. Logout needs the management server; config.json stays.
json service::handle_deregister() {
    if (m_management_down || m_management_slow)
        return error_reply("deregister: rpc error: code = Unavailable desc = failed to send logout request: "
                           "connection error: desc = \"transport: Error while dialing: dial tcp: i/o timeout\"");
    if (!registered())
        return error_reply("deregister: rpc error: code = NotFound desc = failed to send logout request: "
                           "peer is not registered");
    m_config[REGISTERED] = false;
    std::string error;
    if (!save_config(error)) return error_reply("deregister: " + error);
    m_up = false;
    m_retrying = false;
    m_state = "NeedsLogin";
    info("client/server/server.go:967", "peer deregistered from the management server");
    return ok_reply();
}

// Called with m_mutex held. The service writes the bundle in its own temporary directory.
json service::handle_bundle(const json& request) {
    json status = status_document(request.value("management_down", false));
    std::vector<zip_entry> entries;
    entries.push_back({"status.txt", status_text(status)});
    json shown = m_config;
    shown.erase(REGISTERED);
    for (const char* secret : {"PrivateKey", "PreSharedKey"})   // like the real client: never in a bundle
        if (shown.contains(secret) && !shown[secret].get<std::string>().empty()) shown[secret] = "**********";
    entries.push_back({"config.txt", shown.dump(2) + "\n"});
    if (std::string log = log_file(); !log.empty()) {
        std::ifstream in(log, std::ios::binary);
        if (in) {
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const size_t max = 256 * 1024;
            if (text.size() > max) text = text.substr(text.size() - max);
            entries.push_back({"client.log", text});
        }
    }
    if (request.value("anonymize", false)) {
        auto secrets = status_secrets(status);
        for (auto& e : entries) e.data = anonymize(e.data, secrets);
    }
    std::string dir = env_str("TMPDIR");
    if (dir.empty()) dir = "/tmp";
    std::error_code ec;
    dir = fs::absolute(dir, ec).string();
    std::string error;
    auto path = write_bundle(dir, entries, error);
    if (!path) return error_reply("failed to bundle debug: " + error);
    sleep_ms(env_long("NB_SIM_BUNDLE_SLOW_MS", 0));   // the zip exists while the request still runs
    json reply = ok_reply();
    reply["path"] = *path;
    if (request.value("upload", false))
        reply["upload_key"] = sha256_hex(m_config.value("ManagementURL", std::string())) + "/" + random_uuid();
    info("client/server/debug.go:48", "debug bundle created: " + *path);
    return reply;
}

void service::serve(int fd) {
    std::string line;
    json reply;
    if (!read_line(fd, line)) {
        ::close(fd);
        return;
    }
    json request = json::parse(line, nullptr, false);
    reply = request.is_object() ? handle(request) : error_reply("rpc error: code = Internal desc = malformed request");
    write_all(fd, reply.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    ::close(fd);
}

// Like the real client: whatever file is at the socket path goes, even a live service's socket.
bool service::listen_on_socket(int& listener) {
    if (m_socket_path.empty()) m_socket_path = "/var/run/netbird.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_socket_path.size() >= sizeof addr.sun_path) {
        fatal("listen daemon interface: listen unix " + m_socket_path + ": bind: invalid argument");
        return false;
    }
    struct stat st{};
    if (::stat(m_socket_path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(m_socket_path.c_str());
    std::memcpy(addr.sun_path, m_socket_path.c_str(), m_socket_path.size() + 1);
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 64) != 0) {
        fatal("listen daemon interface: listen unix " + m_socket_path + ": " + std::strerror(errno));
        return false;
    }
    ::chmod(m_socket_path.c_str(), 0666);
    return true;
}

// SIGTERM and SIGINT: down, close the listener (Go removes the socket path then, whoever's it
// is), two seconds' pause, exit 0. SIGHUP is not handled, so it kills the process outright.
void service::stop_on_signal(const sigset_t& signals) {
    int sig = 0;
    sigwait(&signals, &sig);
    info("client/cmd/root.go:212", "shutdown signal received");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_up = false;
        m_state = "Idle";
    }
    ::unlink(m_socket_path.c_str());
    sleep_ms(2000);
    info("client/cmd/service_controller.go:100", "stopped NetBird service");
    ::_exit(0);
}

int service::run() {
    // Signals are taken by one thread with sigwait, so every other thread must block them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (std::string level = m_opts.get("log-level"); m_opts.has("log-level") && !is_valid_log_level(level)) {
        std::fprintf(stderr, "Error: init log: failed parsing log-level %s: not a valid logrus Level: \"%s\"\n",
                     level.c_str(), level.c_str());
        return 1;
    }
    info("client/cmd/service_controller.go:27", "starting NetBird service");
    int listener = -1;
    if (!listen_on_socket(listener)) return 1;
    if (!start_client()) return 1;   // log.Fatalf
    info("client/cmd/service_controller.go:73", "started daemon server: " + m_socket_path);

    if (long exit_after = env_long("NB_SIM_SERVICE_EXIT_AFTER_MS", -1); exit_after >= 0) {
        std::thread([this, exit_after] {
            sleep_ms(exit_after);
            log_raw(m_opts.log_targets,
                    "panic: simulated crash (NB_SIM_SERVICE_EXIT_AFTER_MS=" + std::to_string(exit_after) + ")\n");
            ::_exit(2);   // like a crash: the socket file stays behind
        }).detach();
    }
    std::thread([this, stop_signals] { stop_on_signal(stop_signals); }).detach();
    if (long mib = env_long("NB_SIM_SERVICE_STDERR_MIB", 0); mib > 0)
        std::thread([mib] { write_flood(STDERR_FILENO, mib, 'e'); }).detach();

    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE) sleep_ms(50);
                continue;
            }
            fatal(std::string("accept: ") + std::strerror(errno));
            return 1;
        }
        std::thread([this, fd] { serve(fd); }).detach();
    }
}

}  // namespace

int run_service(const options& opts) {
    service s(opts);
    return s.run();
}

}  // namespace sim

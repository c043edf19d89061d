// `service run`: the simulated NetBird daemon. Listens on the daemon socket, answers one JSON
// request line per connection with one JSON reply line, keeps the registration in the --config
// file (config.json exists = registered) and the connection state in memory.
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
#include <sstream>
#include <thread>

namespace sim {
namespace {

namespace fs = std::filesystem;
using clock = std::chrono::system_clock;

const char* const DEFAULT_MANAGEMENT_URL = "https://api.netbird.io:443";

class service {
public:
    explicit service(const options& opts) : m_opts(opts), m_socket_path(opts.socket_path) {
        m_management_down = env_flag("NB_SIM_MANAGEMENT_DOWN");
    }

    int run();

private:
    void fatal(const std::string& message) const;
    void serve(int fd);
    json handle(const json& request);
    json handle_up(const json& request);
    json handle_bundle(const json& request);
    std::optional<json> load_config() const;
    bool save_config(const json& config, std::string& error) const;
    std::string log_file() const;   // the file target of --log-file, if any

    const options& m_opts;
    std::string m_socket_path;
    bool m_management_down = false;
    std::mutex m_mutex;             // guards the state below and config.json
    bool m_connected = false;
    clock::time_point m_connected_at = clock::now();
};

json error_reply(const std::string& message) { return json{{"ok", false}, {"error", message}}; }
json ok_reply() { return json{{"ok", true}}; }

void service::fatal(const std::string& message) const {
    log_line(m_opts.log_spec, "ERROR", message);
    if (m_opts.log_spec.find("console") == std::string::npos) std::fprintf(stderr, "Error: %s\n", message.c_str());
}

std::string service::log_file() const {
    std::stringstream spec(m_opts.log_spec);
    std::string target;
    while (std::getline(spec, target, ','))
        if (!target.empty() && target != "console" && target != "syslog") return target;
    return {};
}

std::optional<json> service::load_config() const {
    std::error_code ec;
    if (m_opts.config_path.empty() || !fs::exists(m_opts.config_path, ec)) return std::nullopt;
    std::ifstream in(m_opts.config_path);
    json config = json::parse(in, nullptr, false);
    return config.is_object() ? config : json::object();   // a damaged file still means registered
}

bool service::save_config(const json& config, std::string& error) const {
    std::string tmp = m_opts.config_path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << config.dump(2) << "\n";
        out.close();
        if (!out) {
            error = "failed to write config " + m_opts.config_path;
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

json service::handle(const json& request) {
    std::string cmd = request.value("cmd", std::string());
    std::lock_guard<std::mutex> lock(m_mutex);
    auto config = load_config();
    if (!config) m_connected = false;   // config.json removed behind our back: not registered any more

    if (cmd == "status") {
        bool down = m_management_down || request.value("management_down", false);
        json reply = ok_reply();
        reply["status"] = build_status(config ? &*config : nullptr, m_connected, down, m_connected_at);
        return reply;
    }
    if (cmd == "up") return handle_up(request);
    if (cmd == "down") {
        if (!m_connected)
            return error_reply("call service down method: rpc error: code = FailedPrecondition desc = service is not up");
        m_connected = false;
        log_line(m_opts.log_spec, "INFO", "client/internal/connect.go:312: stopped NetBird client {\"reason\":\"down\"}");
        return ok_reply();
    }
    if (cmd == "deregister") {
        if (!config)
            return error_reply("deregister failed: rpc error: code = FailedPrecondition desc = peer is not registered "
                               "(NeedsLogin)");
        std::error_code ec;
        fs::remove(m_opts.config_path, ec);
        if (ec) return error_reply("deregister failed: remove " + m_opts.config_path + ": " + ec.message());
        m_connected = false;
        log_line(m_opts.log_spec, "INFO", "client/server/server.go:590: peer deregistered {\"config\":\"removed\"}");
        return ok_reply();
    }
    if (cmd == "debug-bundle") return handle_bundle(request);
    return error_reply("rpc error: code = Unimplemented desc = unknown method " + cmd);
}

// Called with m_mutex held.
json service::handle_up(const json& request) {
    auto config = load_config();
    std::string key = request.value("setup_key", std::string());
    if (!config && key.empty())
        return error_reply("daemon up failed: rpc error: code = FailedPrecondition desc = NeedsLogin: the peer is not "
                           "registered; run up with a setup key");
    json cfg = config ? *config : json::object();
    if (!config) {   // registration: a fresh WireGuard-looking private key
        std::string bytes;
        std::string hex = random_hex(32);
        for (size_t i = 0; i < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        cfg["PrivateKey"] = base64(bytes);
        cfg["PreSharedKey"] = "";
        cfg["ManagementURL"] = DEFAULT_MANAGEMENT_URL;
        cfg["AdminURL"] = "https://app.netbird.io:443";
    }
    if (request.contains("management_url")) cfg["ManagementURL"] = request["management_url"];
    if (request.contains("interface_name")) cfg["WgIface"] = request["interface_name"];
    if (request.contains("wireguard_port")) cfg["WgPort"] = request["wireguard_port"];
    if (request.contains("mtu")) cfg["MTU"] = request["mtu"];
    if (request.contains("external_ip_map")) {
        json ips = json::array();
        std::stringstream list(request["external_ip_map"].get<std::string>());
        std::string item;
        while (std::getline(list, item, ','))
            if (!item.empty()) ips.push_back(item);
        cfg["NATExternalIPs"] = ips;
    }
    if (request.contains("lazy_connection")) cfg["LazyConnectionEnabled"] = request["lazy_connection"];
    if (!cfg.contains("DisableAutoConnect")) cfg["DisableAutoConnect"] = false;
    std::string error;
    if (!save_config(cfg, error)) return error_reply(error);
    if (!m_connected) m_connected_at = clock::now();
    m_connected = true;
    identity id = identity_of(cfg);
    log_line(m_opts.log_spec, "INFO",
             "client/internal/connect.go:270: connected to management {\"url\":\"" +
                 cfg.value("ManagementURL", std::string()) + "\",\"ip\":\"" + id.netbird_ip + "\"}");
    return ok_reply();
}

// Called with m_mutex held.
json service::handle_bundle(const json& request) {
    auto config = load_config();
    bool down = m_management_down || request.value("management_down", false);
    json status = build_status(config ? &*config : nullptr, m_connected, down, m_connected_at);
    std::vector<zip_entry> entries;
    entries.push_back({"status.txt", status_text(status)});
    json shown = config ? *config : json::object();
    for (const char* secret : {"PrivateKey", "PreSharedKey"})   // like the real client: never in a bundle
        if (shown.contains(secret) && !shown[secret].get<std::string>().empty()) shown[secret] = "**********";
    entries.push_back({"config.txt", config ? shown.dump(2) + "\n" : "no config.json (not registered)\n"});
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
    std::string dir = request.value("tmpdir", std::string("/tmp"));
    if (dir.empty()) dir = "/tmp";
    std::error_code ec;
    dir = fs::absolute(dir, ec).string();
    std::string error;
    auto path = write_bundle(dir, entries, error);
    if (!path) return error_reply("failed to bundle debug information: " + error);
    json reply = ok_reply();
    reply["path"] = *path;
    if (request.value("upload", false)) reply["upload_key"] = random_hex(16) + "/" + random_uuid();
    log_line(m_opts.log_spec, "INFO", "client/server/debug.go:48: debug bundle created {\"path\":\"" + *path + "\"}");
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

int service::run() {
    // Signals are taken by one thread with sigwait, so every other thread must block them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (m_socket_path.empty()) m_socket_path = "/var/run/netbird.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_socket_path.size() >= sizeof addr.sun_path) {
        fatal("failed to listen daemon interface: listen unix " + m_socket_path + ": bind: invalid argument");
        return 1;
    }
    std::string probe_error;
    if (int probe = connect_unix(m_socket_path, probe_error); probe >= 0) {
        ::close(probe);
        fatal("failed to listen daemon interface: listen unix " + m_socket_path +
              ": bind: address already in use (another NetBird service answers on this socket)");
        return 1;
    }
    ::unlink(m_socket_path.c_str());   // stale socket of a killed service
    std::memcpy(addr.sun_path, m_socket_path.c_str(), m_socket_path.size() + 1);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 64) != 0) {
        fatal("failed to listen daemon interface: listen unix " + m_socket_path + ": " + std::strerror(errno));
        return 1;
    }
    struct stat own{};
    ::stat(m_socket_path.c_str(), &own);

    const std::string pid = std::to_string(::getpid());
    log_line(m_opts.log_spec, "INFO",
             "client/cmd/service_controller.go:33: starting NetBird daemon {\"version\":\"" + std::string(VERSION) +
                 "\",\"pid\":" + pid + ",\"config\":\"" + m_opts.config_path + "\"}",
             true);
    log_line(m_opts.log_spec, "INFO",
             "client/cmd/service_controller.go:65: started daemon server: " + m_socket_path + " {\"socket\":\"unix\"}",
             true);

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto config = load_config();
        if (config && !config->value("DisableAutoConnect", false)) {   // like the real client: reconnect on start
            m_connected = true;
            m_connected_at = clock::now();
            log_line(m_opts.log_spec, "INFO", "client/internal/connect.go:120: auto-connect {\"registered\":true}", true);
        } else if (!config) {
            log_line(m_opts.log_spec, "WARN", "client/server/server.go:160: not registered, waiting for up {\"status\":\"NeedsLogin\"}");
        }
    }

    if (long exit_after = env_long("NB_SIM_SERVICE_EXIT_AFTER_MS", -1); exit_after >= 0) {
        std::thread([this, exit_after] {
            sleep_ms(exit_after);
            log_line(m_opts.log_spec, "ERROR",
                     "panic: simulated crash (NB_SIM_SERVICE_EXIT_AFTER_MS=" + std::to_string(exit_after) + ")");
            ::_exit(2);   // like a crash: the socket file stays behind
        }).detach();
    }

    std::thread([this, stop_signals, own] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        log_line(m_opts.log_spec, "INFO",
                 "client/cmd/service_controller.go:80: stopping NetBird daemon {\"signal\":" + std::to_string(sig) + "}");
        struct stat now{};
        if (::stat(m_socket_path.c_str(), &now) == 0 && now.st_ino == own.st_ino && now.st_dev == own.st_dev)
            ::unlink(m_socket_path.c_str());
        ::_exit(0);
    }).detach();

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
